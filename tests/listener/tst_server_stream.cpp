// A real publisher (the ffmpeg command-line tool) through the listener: the stream reaches a
// manager through its relay, the byte count is the camera's, an ended stream is replaced on its
// port, and Stop and destruction end a connected camera without leaving a thread behind.
#include "ListenerFixtures.h"

#include "output/FakeV4l2Io.h"
#include "output/OutputBackends.h"
#include "output/OutputRouter.h"
#include "output/V4l2Sink.h"
#include "support/FfmpegPublisher.h"
#include "support/FreePort.h"
#include "support/RecordingOutput.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using namespace listener;

namespace {

constexpr int kStreamTimeoutMs = 30000;
const QString kStateText = QStringLiteral("320x240 30fps");

// Sits between the publisher and the listener and counts what passes each way. The way up
// can be held, so the relay's count can be compared with everything sent so far.
class CountingForwarder : public QObject
{
public:
    explicit CountingForwarder(quint16 target) : m_target(target)
    {
        connect(&m_listener, &QTcpServer::newConnection, this, [this] { accept(); });
    }

    quint16 listen()
    {
        return m_listener.listen(QHostAddress::LocalHost, 0) ? m_listener.serverPort() : 0;
    }
    void setUpstreamHeld(bool held)
    {
        m_held = held;
        if (!held)
            pumpUp();
    }
    qint64 up() const { return m_up; }
    qint64 down() const { return m_down; }

private:
    void accept()
    {
        QTcpSocket *camera = m_listener.nextPendingConnection();
        if (!camera || m_camera) {
            delete camera;
            return;
        }
        m_camera = camera;
        m_upstream = new QTcpSocket(this);
        connect(m_camera, &QTcpSocket::readyRead, this, [this] { pumpUp(); });
        connect(m_upstream, &QTcpSocket::connected, this, [this] { pumpUp(); });
        connect(m_upstream, &QTcpSocket::readyRead, this, [this] { pumpDown(); });
        connect(m_camera, &QTcpSocket::disconnected, this, [this] {
            m_held = false;
            pumpUp();
            m_upstream->disconnectFromHost();
        });
        connect(m_upstream, &QTcpSocket::disconnected, this, [this] { m_camera->abort(); });
        m_upstream->connectToHost(QHostAddress::LocalHost, m_target);
    }
    void pumpUp()
    {
        if (m_held || !m_upstream || m_upstream->state() != QAbstractSocket::ConnectedState)
            return;
        const QByteArray bytes = m_camera->readAll();
        m_up += bytes.size();
        m_upstream->write(bytes);
    }
    void pumpDown()
    {
        const QByteArray bytes = m_upstream->readAll();
        m_down += bytes.size();
        m_camera->write(bytes);
    }

    quint16 m_target;
    QTcpServer m_listener;
    QTcpSocket *m_camera = nullptr;   // child of m_listener
    QTcpSocket *m_upstream = nullptr; // child of this
    bool m_held = false;
    qint64 m_up = 0;
    qint64 m_down = 0;
};

// The luma in the middle of a picture the webcam was given, -1 without one.
int centreLuma(const RecordingOutput::Frame &frame)
{
    if (!frame.live || frame.picture.isEmpty() || frame.rowBytes <= 0)
        return -1;
    const int at = frame.height / 2 * frame.rowBytes + frame.width / 2;
    return at < frame.picture.size() ? uchar(frame.picture.at(at)) : -1;
}

// Live pictures of luma `luma` (within what compression changes of a flat colour) the webcam
// was given from the `from`th frame on.
int picturesOf(const RecordingOutput &output, int luma, int from = 0)
{
    const QList<RecordingOutput::Frame> frames = output.frames(RecordingOutput::Sink);
    int n = 0;
    for (int i = from; i < frames.size(); ++i)
        n += qAbs(centreLuma(frames.at(i)) - luma) <= 6 ? 1 : 0;
    return n;
}

FfmpegPublisher::Options endlessPublisher()
{
    FfmpegPublisher::Options options;
    options.size = QSize(320, 240);
    options.durationS = 0;
    return options;
}

} // namespace

class ServerStreamTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void publisherReachesTheManagerAndIsReplacedWhenItLeaves();
    void stopWithAConnectedCameraAbortsIt();
    void destructionWithAConnectedCameraEndsEverything();
    void publishersRotationTurnsTheWebcamPicture();
    void cameraNobodySeesDecodesNoPicturesAndTakesOverWhenShown();
};

void ServerStreamTest::initTestCase()
{
    if (!FfmpegPublisher::available())
        QSKIP("the ffmpeg command-line tool is not installed");
}

void ServerStreamTest::publisherReachesTheManagerAndIsReplacedWhenItLeaves()
{
    RecordingOutput output;
    output.setCopyPictures(false);
    OutputRouter cam(QStringLiteral("Quorvix"));
    TestWindow window;
    TestServer server(&cam, &window);
    const quint16 port = FreePort::loopback();
    QVERIFY(server.startListening(QHostAddress::LocalHost, port));
    QTRY_COMPARE_WITH_TIMEOUT(server.freeManagerPorts().size(), 10, kReadyTimeoutMs);
    const QList<int> readyOrder = server.freeManagerPorts();

    CountingForwarder forwarder(port);
    const quint16 forwarderPort = forwarder.listen();
    QVERIFY(forwarderPort != 0);
    FfmpegPublisher publisher(endlessPublisher());
    QVERIFY(publisher.start(forwarderPort));

    QTRY_VERIFY_WITH_TIMEOUT(window.states.contains(kStateText), kStreamTimeoutMs);
    QCOMPARE(window.states.mid(0, 2), (QStringList{QStringLiteral("connecting ..."), kStateText}));
    QCOMPARE(server.activeManagerPort(), readyOrder.first());
    int audioMs = 0, videoMs = 0;
    qint64 bytes = 0;
    // Decoded frames wait in the manager's queues.
    QTRY_VERIFY_WITH_TIMEOUT(server.streamStats(audioMs, videoMs, bytes) && videoMs > 0 &&
                                 audioMs > 0,
                             kStreamTimeoutMs);

    // Pictures reach the output object, at the stream's size. (The forwarder needs this
    // thread's event loop, so the wait must run it.)
    QTRY_VERIFY_WITH_TIMEOUT(output.frameCount(RecordingOutput::Sink) >= 10, kStreamTimeoutMs);
    const RecordingOutput::Frame frame = output.frames(RecordingOutput::Sink).last();
    QCOMPARE(frame.width, 320);
    QCOMPARE(frame.height, 240);
    QVERIFY(cam.streamActive());

    // Hold the camera's bytes: once the relay has passed on all of them, its count is exactly
    // what the camera sent, none of the intake's answers.
    forwarder.setUpstreamHeld(true);
    QTRY_VERIFY_WITH_TIMEOUT(server.streamStats(audioMs, videoMs, bytes) && bytes == forwarder.up(),
                             kSocketTimeoutMs);
    qInfo("camera sent %lld bytes, intake answered %lld, relay counted %lld", forwarder.up(),
          forwarder.down(), bytes);
    QVERIFY(forwarder.down() > 0);
    QVERIFY(bytes > 10000); // handshake, commands and some seconds of pictures
    const qint64 heldCount = bytes;
    forwarder.setUpstreamHeld(false);
    QTRY_VERIFY_WITH_TIMEOUT(server.streamStats(audioMs, videoMs, bytes) && bytes > heldCount,
                             kSocketTimeoutMs);

    // The camera loses power: the state text is cleared and a fresh manager takes the same
    // port; it queues up behind the others.
    const int servedPort = server.activeManagerPort();
    publisher.kill();
    QTRY_COMPARE_WITH_TIMEOUT(window.states.last(), QString(), kStreamTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(server.freeManagerPorts().size(), 10, kReadyTimeoutMs);
    QCOMPARE(server.freeManagerPorts().last(), servedPort);
    QCOMPARE(sorted(server.freeManagerPorts()), portRange(kFirstPort, 10));
    QCOMPARE(server.lastManagerPort(), kFirstPort + 9);
    QVERIFY(!cam.streamActive());
    // The ended manager is deleted once its thread is over; the statistics no longer reach it.
    QTRY_COMPARE(server.managerCount(), 10);
    QVERIFY(!server.streamStats(audioMs, videoMs, bytes));
    server.resetActiveBuffers();

    // The next camera is served by the next manager in line.
    FfmpegPublisher second(endlessPublisher());
    window.states.clear();
    QVERIFY(second.start(port));
    QTRY_VERIFY_WITH_TIMEOUT(window.states.contains(kStateText), kStreamTimeoutMs);
    QCOMPARE(server.activeManagerPort(), readyOrder.at(1));
    second.stop();
    server.stopListening();
    QTRY_COMPARE_WITH_TIMEOUT(server.managerCount(), 0, kReadyTimeoutMs);
}

void ServerStreamTest::stopWithAConnectedCameraAbortsIt()
{
    TestWindow window;
    TestServer server(nullptr, &window);
    const quint16 port = FreePort::loopback();
    QVERIFY(server.startListening(QHostAddress::LocalHost, port));
    QTRY_COMPARE_WITH_TIMEOUT(server.freeManagerPorts().size(), 10, kReadyTimeoutMs);
    FfmpegPublisher publisher(endlessPublisher());
    QVERIFY(publisher.start(port));
    QTRY_VERIFY_WITH_TIMEOUT(window.states.contains(kStateText), kStreamTimeoutMs);

    QElapsedTimer stopTime;
    stopTime.start();
    server.stopListening();
    qInfo("stop with a connected camera: %lld ms", stopTime.elapsed());
    int audioMs, videoMs;
    qint64 bytes;
    QVERIFY(!server.streamStats(audioMs, videoMs, bytes));
    QVERIFY(!FreePort::isListening(port));
    // The camera's connection is cut, so the publisher gives up by itself.
    QTRY_VERIFY_WITH_TIMEOUT(!publisher.isRunning(), kStreamTimeoutMs);
    // The serving manager ends on its own; none takes its place.
    QTRY_COMPARE_WITH_TIMEOUT(window.states.last(), QString(), kStreamTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(server.managerCount(), 0, kReadyTimeoutMs);
    QCOMPARE(server.relayCount(), 0);
    QCOMPARE(server.lastManagerPort(), kFirstPort + 9);
    for (int managerPort : portRange(kFirstPort, 10))
        QVERIFY(!FreePort::isListening(quint16(managerPort)));
}

void ServerStreamTest::destructionWithAConnectedCameraEndsEverything()
{
    RecordingOutput output;
    output.setCopyPictures(false);
    OutputRouter cam(QStringLiteral("Quorvix"));
    const int threadsBefore = threadCount();
    TestWindow window;
    auto server = std::make_unique<TestServer>(&cam, &window);
    const quint16 port = FreePort::loopback();
    QVERIFY(server->startListening(QHostAddress::LocalHost, port));
    QTRY_COMPARE_WITH_TIMEOUT(server->freeManagerPorts().size(), 10, kReadyTimeoutMs);
    FfmpegPublisher publisher(endlessPublisher());
    QVERIFY(publisher.start(port));
    QTRY_VERIFY_WITH_TIMEOUT(window.states.contains(kStateText), kStreamTimeoutMs);
    int audioMs = 0, videoMs = 0;
    qint64 bytes = 0;
    QTRY_VERIFY_WITH_TIMEOUT(server->streamStats(audioMs, videoMs, bytes) && videoMs > 0,
                             kStreamTimeoutMs);
    // Delivery runs: its clock and worker threads are among those that must end.
    QVERIFY(output.waitForFrames(5, kStreamTimeoutMs, RecordingOutput::Sink));

    // The window goes away with the listener still listening and a stream running.
    QElapsedTimer destroyTime;
    destroyTime.start();
    server.reset();
    qInfo("destruction with a connected camera: %lld ms", destroyTime.elapsed());
    QTRY_COMPARE(threadCount(), threadsBefore);
    QVERIFY(!FreePort::isListening(port));
    QTRY_VERIFY_WITH_TIMEOUT(!publisher.isRunning(), kStreamTimeoutMs);
    // The output object outlives the listener and is left showing no stream.
    QVERIFY(!cam.streamActive());
}

// A camera held upright says so in its H.264 stream (a display orientation message, sent with
// the first picture only): the webcam shows that picture and every later one turned upright.
void ServerStreamTest::publishersRotationTurnsTheWebcamPicture()
{
    const QString device = QStringLiteral("/dev/video0");
    auto io = std::make_shared<FakeV4l2Io>();
    io->addLoopback(device, "Quorvix");
    qputenv("QUORVIX_VCAM_DEVICE", device.toLatin1());
    installWebcamOnlyBackends(io, V4l2Sink::kProbeIntervalMs);
    struct Restore
    {
        ~Restore()
        {
            OutputBackends::setFactory_for_testing({});
            qunsetenv("QUORVIX_VCAM_DEVICE");
        }
    } restore;

    {
        OutputRouter cam(QStringLiteral("Quorvix"));
        TestWindow window;
        TestServer server(&cam, &window);
        const quint16 port = FreePort::loopback();
        QVERIFY(server.startListening(QHostAddress::LocalHost, port));
        QTRY_COMPARE_WITH_TIMEOUT(server.freeManagerPorts().size(), 10, kReadyTimeoutMs);

        // Grey, its top-left corner white; the message asks for a quarter turn
        // counter-clockwise, so the corner shows at the bottom left. Turned, the 320x240
        // picture is 540x720 on the 1280x720 webcam, from x = 370, the corner 108 pixels.
        FfmpegPublisher::Options options = endlessPublisher();
        options.lavfiVideo = QStringLiteral("color=c=0x646464:size=320x240:rate=30,"
                                            "drawbox=x=0:y=0:w=48:h=48:color=white:t=fill");
        options.extraOutputArgs =
            QStringList{QStringLiteral("-bsf:v"),
                        QStringLiteral("h264_metadata=display_orientation=insert:rotate=90")};
        FfmpegPublisher publisher(options);
        QVERIFY(publisher.start(port));

        const auto turned = [&io, &device] {
            const QByteArray frame = io->device(device).lastFrame;
            if (frame.size() != 1280 * 720 * 3 / 2)
                return false;
            const auto y = [&frame](int x, int row) { return uchar(frame.at(row * 1280 + x)); };
            return y(400, 680) > 200 && y(400, 40) < 140 && y(870, 680) < 140 && y(870, 40) < 140 &&
                   y(100, 360) == 16 && y(1200, 360) == 16;
        };
        QTRY_VERIFY_WITH_TIMEOUT(cam.streamActive() && turned(), kStreamTimeoutMs);
        // Pictures well after the first, which alone carried the message, are turned too.
        const int seen = io->device(device).framesWritten;
        QTRY_VERIFY_WITH_TIMEOUT(io->device(device).framesWritten >= seen + 30, kStreamTimeoutMs);
        QVERIFY(turned());
        publisher.stop();
    }
    QCOMPARE(io->openDescriptors(), 0);
}

void ServerStreamTest::cameraNobodySeesDecodesNoPicturesAndTakesOverWhenShown()
{
    // Flat colours as limited-range luma.
    constexpr int kRed = 81;
    constexpr int kBlue = 41;
    WebcamRig rig;
    rig.output.setCopyPictures(true); // the colours are read back
    QVERIFY(rig.start());
    RecordingOutput &output = rig.output;
    TestServer &server = rig.server;
    const quint16 port = rig.port;

    // A keyframe every half second.
    FfmpegPublisher::Options options = endlessPublisher();
    options.videoSource = QStringLiteral("color=c=red");
    options.gop = 15;
    FfmpegPublisher first(options);
    QVERIFY(first.start(port));
    QTRY_VERIFY_WITH_TIMEOUT(picturesOf(output, kRed) >= 10, kStreamTimeoutMs);

    options.videoSource = QStringLiteral("color=c=blue");
    FfmpegPublisher second(options);
    QVERIFY(second.start(port));
    // The newer camera owns the webcam; the first waits.
    const auto waiting = [&server] {
        for (const IntakeSet::Camera &camera : server.cameras())
            if (camera.output < 0)
                return camera;
        return IntakeSet::Camera();
    };
    QTRY_VERIFY_WITH_TIMEOUT(waiting().id != 0, kStreamTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(picturesOf(output, kBlue) >= 10, kStreamTimeoutMs);
    // Two seconds of the second camera later the first is past its next keyframe: from then
    // on it decodes nothing while three more seconds go by.
    const int blueFrom = output.frameCount(RecordingOutput::Sink);
    QTRY_VERIFY_WITH_TIMEOUT(picturesOf(output, kBlue, blueFrom) >= 60, kStreamTimeoutMs);
    const qint64 decodedBefore = waiting().picturesDecoded;
    QVERIFY(decodedBefore >= 10);
    const int pausedFrom = output.frameCount(RecordingOutput::Sink);
    QTRY_VERIFY_WITH_TIMEOUT(picturesOf(output, kBlue, pausedFrom) >= 90, kStreamTimeoutMs);
    QCOMPARE(waiting().picturesDecoded, decodedBefore);
    QCOMPARE(picturesOf(output, kRed, blueFrom), 0);

    // The second leaves: the first is shown again, decoded from its kept keyframe, as the
    // colour it is.
    second.stop();
    const int leftFrom = output.frameCount(RecordingOutput::Sink);
    QTRY_VERIFY_WITH_TIMEOUT(picturesOf(output, kRed, leftFrom) >= 30, kStreamTimeoutMs);
    for (const IntakeSet::Camera &camera : server.cameras())
        QVERIFY(camera.picturesDecoded > decodedBefore);
    first.stop();
}

QTEST_MAIN(ServerStreamTest)
#include "tst_server_stream.moc"
