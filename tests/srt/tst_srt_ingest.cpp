// SRT callers through the listener, with real publishers on 127.0.0.1: the ffmpeg CLI and
// srt-live-transmit reach the output with pictures and sound, the link's statistics are there,
// a caller that leaves frees its intake, the passphrase is enforced both ways, SRT and RTMP
// cameras share the one-owner rule, and garbage on the port costs nothing lasting.
#include "../listener/ListenerFixtures.h"

#include "output/OutputRouter.h"
#include "support/FfmpegPublisher.h"
#include "support/FreePort.h"
#include "support/RecordingOutput.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <srt/access_control.h>
#include <srt/srt.h>

#include <arpa/inet.h>
#include <netinet/in.h>

using namespace listener;

namespace {

constexpr int kStreamTimeoutMs = 30000;
const QString kStateText = QStringLiteral("320x240 30fps");
const QByteArray kPassphrase = "correct horse battery";

FfmpegPublisher::Options srtPublisher(const QString &srtOptions = QString())
{
    FfmpegPublisher::Options options;
    options.size = QSize(320, 240);
    options.durationS = 0;
    options.srt = true;
    options.srtOptions = srtOptions;
    return options;
}

// The luma of the middle of the last picture the webcam got.
int lastLuma(const RecordingOutput &output)
{
    const QList<RecordingOutput::Frame> frames = output.frames(RecordingOutput::Sink);
    if (frames.isEmpty() || frames.last().picture.isEmpty())
        return -1;
    const RecordingOutput::Frame &frame = frames.last();
    const int stride = frame.rowBytes > 0 ? frame.rowBytes : frame.width;
    return quint8(frame.picture.at((frame.height / 2) * stride + frame.width / 2));
}

// The camera's tone reached the microphone (not only silence).
bool hasAudio(const RecordingOutput &output)
{
    const QList<RecordingOutput::Frame> frames = output.frames(RecordingOutput::Microphone);
    for (const RecordingOutput::Frame &frame : frames) {
        if (!frame.audioAdded)
            continue;
        for (qint16 sample : frame.samples)
            if (qAbs(sample) > 1000)
                return true; // the 440 Hz tone, not silence
    }
    return false;
}

// A bare SRT caller made with libsrt: it connects and then sends nothing. Returns the socket,
// or -1 with the handshake's rejection reason in `reason`.
int silentCaller(quint16 port, int &reason)
{
    reason = 0;
    const int socket = srt_create_socket();
    if (socket == SRT_INVALID_SOCK)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (srt_connect(socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) ==
        SRT_ERROR) {
        reason = srt_getrejectreason(socket);
        srt_close(socket);
        return -1;
    }
    return socket;
}

struct Rig
{
    explicit Rig(const QByteArray &passphrase = QByteArray())
        : cam(QStringLiteral("Quorvix")), server(&cam, &window)
    {
        srtPort = FreePort::udpLoopback();
        rtmpPort = FreePort::loopback();
        SrtOptions options;
        options.port = srtPort;
        options.latencyMs = 120;
        options.passphrase = passphrase;
        server.setSrtOptions(options);
    }
    bool start()
    {
        if (!server.startListening(QHostAddress::LocalHost, rtmpPort) || !server.srtListening())
            return false;
        return QTest::qWaitFor(
            [this] { return server.freeSrtManagerPorts().size() == Server::kInitialSrtManagers; },
            kReadyTimeoutMs);
    }

    RecordingOutput output; // before the OutputRouter: it installs the recording backends
    OutputRouter cam;
    TestWindow window;
    TestServer server;
    quint16 srtPort = 0;
    quint16 rtmpPort = 0;
};

} // namespace

class SrtIngestTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void ffmpegCallerIsServedAndItsIntakeReplaced();
    void srtLiveTransmitFeedsATsFile();
    void passphraseIsEnforcedBothWays();
    void newestCameraOwnsTheOutputAcrossProtocols();
    void garbageAndFloodThenARealCaller();
    void nothingListensWhileStopped();
    void overloadRefusesInTheHandshakeAndGrows();
};

void SrtIngestTest::initTestCase()
{
    if (!FfmpegPublisher::available())
        QSKIP("the ffmpeg command-line tool is not installed");
}

void SrtIngestTest::ffmpegCallerIsServedAndItsIntakeReplaced()
{
    Rig rig;
    QVERIFY(rig.start());
    const QList<int> srtPorts = rig.server.freeSrtManagerPorts();
    QCOMPARE(rig.server.freeManagerPorts().size(), Server::kInitialManagers);

    FfmpegPublisher publisher(srtPublisher());
    QVERIFY(publisher.start(rig.srtPort));
    QTRY_VERIFY_WITH_TIMEOUT(rig.window.states.contains(kStateText), kStreamTimeoutMs);
    QCOMPARE(rig.window.states.first(), QStringLiteral("connecting ..."));
    QCOMPARE(rig.server.activeManagerPort(), srtPorts.first());
    QTRY_VERIFY_WITH_TIMEOUT(rig.output.frameCount(RecordingOutput::Sink) >= 30, kStreamTimeoutMs);
    const RecordingOutput::Frame frame = rig.output.frames(RecordingOutput::Sink).last();
    QCOMPARE(frame.width, 320);
    QCOMPARE(frame.height, 240);
    // Sound starts once its delay holds still, which may be after the first pictures.
    QTRY_VERIFY_WITH_TIMEOUT(hasAudio(rig.output), kStreamTimeoutMs);
    QVERIFY(rig.cam.streamActive());

    // The window's figures: bytes for the bitrate, buffers, and the SRT link.
    int audioMs = 0, videoMs = 0;
    qint64 bytes = 0;
    QTRY_VERIFY_WITH_TIMEOUT(rig.server.streamStats(audioMs, videoMs, bytes) && bytes > 10000 &&
                                 audioMs > 0,
                             kStreamTimeoutMs);
    SrtRelay::LinkStats link;
    QTRY_VERIFY_WITH_TIMEOUT(rig.server.srtStats(link) && link.rttMs > 0, kStreamTimeoutMs);
    QCOMPARE(link.lost, 0);
    QCOMPARE(rig.server.streamPeer(), QStringLiteral("127.0.0.1"));
    // The RTMP pool is untouched.
    QCOMPARE(rig.server.freeManagerPorts().size(), Server::kInitialManagers);

    // The camera loses power: the card comes back, and a fresh intake takes the same port.
    const int served = rig.server.activeManagerPort();
    publisher.kill();
    QTRY_COMPARE_WITH_TIMEOUT(rig.window.states.last(), QString(), kStreamTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.cam.streamActive(), kStreamTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(rig.server.freeSrtManagerPorts().size(), Server::kInitialSrtManagers,
                              kStreamTimeoutMs);
    QVERIFY(rig.server.freeSrtManagerPorts().contains(served));
}

void SrtIngestTest::srtLiveTransmitFeedsATsFile()
{
    const QString transmit = QStandardPaths::findExecutable(QStringLiteral("srt-live-transmit"));
    if (transmit.isEmpty())
        QSKIP("srt-live-transmit (srt-tools) is not installed");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("camera.ts"));
    // Eight seconds of camera-like TS: H.264 and AAC.
    QProcess encode;
    encode.start(FfmpegPublisher::program(), {"-hide_banner",
                                              "-loglevel",
                                              "error",
                                              "-f",
                                              "lavfi",
                                              "-i",
                                              "testsrc2=size=320x240:rate=30",
                                              "-f",
                                              "lavfi",
                                              "-i",
                                              "sine=frequency=440:sample_rate=48000",
                                              "-t",
                                              "8",
                                              "-c:v",
                                              "libx264",
                                              "-preset",
                                              "ultrafast",
                                              "-tune",
                                              "zerolatency",
                                              "-g",
                                              "30",
                                              "-pix_fmt",
                                              "yuv420p",
                                              "-c:a",
                                              "aac",
                                              "-f",
                                              "mpegts",
                                              file});
    QVERIFY(encode.waitForFinished(60000));
    QCOMPARE(encode.exitCode(), 0);

    Rig rig;
    QVERIFY(rig.start());
    // The file is paced by ffmpeg (-re, streams copied) and handed to srt-live-transmit on its
    // standard input, which sends it as an SRT caller.
    QProcess pacer;
    QProcess sender;
    pacer.setStandardOutputProcess(&sender);
    sender.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sender.start(transmit, {"-q", "file://con",
                            QStringLiteral("srt://127.0.0.1:%1?mode=caller").arg(rig.srtPort)});
    pacer.start(FfmpegPublisher::program(), {"-hide_banner", "-loglevel", "error", "-nostdin",
                                             "-re", "-i", file, "-c", "copy", "-f", "mpegts", "-"});
    QVERIFY(pacer.waitForStarted());
    QVERIFY(sender.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(rig.window.states.contains(kStateText), kStreamTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(rig.output.frameCount(RecordingOutput::Sink) >= 30, kStreamTimeoutMs);
    // Sound starts once its delay holds still, which may be after the first pictures.
    QTRY_VERIFY_WITH_TIMEOUT(hasAudio(rig.output), kStreamTimeoutMs);
    SrtRelay::LinkStats link;
    QVERIFY(rig.server.srtStats(link));

    // The file ends and the sender is told to leave (it closes its SRT connection): the card
    // comes back.
    QTRY_VERIFY_WITH_TIMEOUT(pacer.state() == QProcess::NotRunning, kStreamTimeoutMs);
    sender.terminate();
    QTRY_VERIFY_WITH_TIMEOUT(sender.state() == QProcess::NotRunning, kStreamTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(rig.window.states.last(), QString(), kStreamTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.cam.streamActive(), kStreamTimeoutMs);
}

void SrtIngestTest::passphraseIsEnforcedBothWays()
{
    {
        Rig rig(kPassphrase);
        QVERIFY(rig.start());
        // Without a passphrase, then with another one: refused and counted, nothing reaches
        // the output, no intake is used up.
        FfmpegPublisher plain(srtPublisher());
        QVERIFY(plain.start(rig.srtPort));
        QTRY_COMPARE_WITH_TIMEOUT(rig.server.refusedSrtCallers(), 1, kStreamTimeoutMs);
        plain.stop();
        FfmpegPublisher wrong(srtPublisher(QStringLiteral("passphrase=another-passphrase")));
        QVERIFY(wrong.start(rig.srtPort));
        QTRY_VERIFY_WITH_TIMEOUT(rig.server.refusedSrtCallers() >= 2, kStreamTimeoutMs);
        wrong.stop();
        QCOMPARE(rig.window.srtRefused.first(), QStringLiteral("127.0.0.1"));
        QVERIFY(rig.window.states.isEmpty());
        QCOMPARE(rig.output.frameCount(RecordingOutput::Sink), 0);
        QCOMPARE(rig.server.freeSrtManagerPorts().size(), Server::kInitialSrtManagers);

        // The right one is served.
        FfmpegPublisher right(
            srtPublisher(QStringLiteral("passphrase=") + QString::fromLatin1(kPassphrase)));
        QVERIFY(right.start(rig.srtPort));
        QTRY_VERIFY_WITH_TIMEOUT(rig.window.states.contains(kStateText), kStreamTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(rig.output.frameCount(RecordingOutput::Sink) >= 10,
                                 kStreamTimeoutMs);
    }
    {
        // No passphrase set: an encrypting caller could not be read, so it is refused too.
        Rig rig;
        QVERIFY(rig.start());
        FfmpegPublisher encrypting(
            srtPublisher(QStringLiteral("passphrase=") + QString::fromLatin1(kPassphrase)));
        QVERIFY(encrypting.start(rig.srtPort));
        QTRY_COMPARE_WITH_TIMEOUT(rig.server.refusedSrtCallers(), 1, kStreamTimeoutMs);
        QVERIFY(rig.window.states.isEmpty());
    }
}

void SrtIngestTest::newestCameraOwnsTheOutputAcrossProtocols()
{
    Rig rig;
    QVERIFY(rig.start());
    QTRY_COMPARE_WITH_TIMEOUT(rig.server.freeManagerPorts().size(), Server::kInitialManagers,
                              kReadyTimeoutMs);
    auto colour = [](const char *c) {
        FfmpegPublisher::Options options = srtPublisher();
        options.videoSource = QStringLiteral("color=c=%1").arg(QLatin1String(c));
        return options;
    };
    // Luma of each colour: black 16, white 235, gray (#808080) about 126.
    auto near = [](int luma, int wanted) { return qAbs(luma - wanted) <= 12; };

    FfmpegPublisher first(colour("black"));
    QVERIFY(first.start(rig.srtPort));
    QTRY_VERIFY_WITH_TIMEOUT(near(lastLuma(rig.output), 16), kStreamTimeoutMs);

    FfmpegPublisher::Options rtmpOptions = colour("white");
    rtmpOptions.srt = false;
    FfmpegPublisher second(rtmpOptions);
    QVERIFY(second.start(rig.rtmpPort));
    QTRY_VERIFY_WITH_TIMEOUT(near(lastLuma(rig.output), 235), kStreamTimeoutMs);

    FfmpegPublisher third(colour("gray"));
    QVERIFY(third.start(rig.srtPort));
    QTRY_VERIFY_WITH_TIMEOUT(near(lastLuma(rig.output), 126), kStreamTimeoutMs);
    // The statistics follow the owner, an SRT caller.
    SrtRelay::LinkStats link;
    QVERIFY(rig.server.srtStats(link));
    // It stays there while the others go on.
    rig.output.clear();
    QVERIFY(rig.output.waitForFrames(30, kStreamTimeoutMs, RecordingOutput::Sink));
    QVERIFY(near(lastLuma(rig.output), 126));
    QVERIFY(first.isRunning());
    QVERIFY(second.isRunning());

    // The owner leaves: the RTMP camera, the newest of those left, takes over.
    third.kill();
    QTRY_VERIFY_WITH_TIMEOUT(near(lastLuma(rig.output), 235), kStreamTimeoutMs);
}

void SrtIngestTest::garbageAndFloodThenARealCaller()
{
    Rig rig;
    QVERIFY(rig.start());
    const int managers = rig.server.managerCount();
    QUdpSocket flood;
    QRandomGenerator random(20);
    // Garbage datagrams of every size, and a flood of SRT-looking control packets (the
    // handshake's first step, sent again and again and never finished).
    for (int i = 0; i < 20000; ++i) {
        QByteArray datagram(1 + int(random.bounded(1400)), '\0');
        for (char &byte : datagram)
            byte = char(random.bounded(256));
        if (i % 2 == 0 && datagram.size() >= 64) {
            datagram[0] = char(0x80); // control packet, handshake type 0
            datagram[1] = 0;
            datagram[2] = 0;
            datagram[3] = 0;
        }
        flood.writeDatagram(datagram, QHostAddress::LocalHost, rig.srtPort);
        if (i % 500 == 0)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    QCOMPARE(rig.server.relayCount(), 0);
    QCOMPARE(rig.server.managerCount(), managers);
    QCOMPARE(rig.server.freeSrtManagerPorts().size(), Server::kInitialSrtManagers);

    FfmpegPublisher publisher(srtPublisher());
    QVERIFY(publisher.start(rig.srtPort));
    QTRY_VERIFY_WITH_TIMEOUT(rig.window.states.contains(kStateText), kStreamTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(rig.output.frameCount(RecordingOutput::Sink) >= 10, kStreamTimeoutMs);

    // RTMP kept working throughout.
    FfmpegPublisher::Options rtmpOptions = srtPublisher();
    rtmpOptions.srt = false;
    FfmpegPublisher rtmp(rtmpOptions);
    QVERIFY(rtmp.start(rig.rtmpPort));
    QTRY_COMPARE_WITH_TIMEOUT(rig.window.states.count(kStateText), 2, kStreamTimeoutMs);
}

void SrtIngestTest::nothingListensWhileStopped()
{
    Rig rig;
    QVERIFY(!FreePort::isUdpBound(rig.srtPort));
    QVERIFY(rig.start());
    QVERIFY(FreePort::isUdpBound(rig.srtPort));
    FfmpegPublisher publisher(srtPublisher());
    QVERIFY(publisher.start(rig.srtPort));
    QTRY_VERIFY_WITH_TIMEOUT(rig.window.states.contains(kStateText), kStreamTimeoutMs);

    rig.server.stopListening();
    QVERIFY(!rig.server.srtListening());
    // libsrt lets go of the UDP port from its own clean-up thread, within about a second.
    QTRY_VERIFY_WITH_TIMEOUT(!FreePort::isUdpBound(rig.srtPort), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(rig.server.relayCount(), 0, kStreamTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.cam.streamActive(), kStreamTimeoutMs);
    // Started again, SRT is back on the same port.
    QVERIFY(rig.start());
    QVERIFY(FreePort::isUdpBound(rig.srtPort));
}

void SrtIngestTest::overloadRefusesInTheHandshakeAndGrows()
{
    QVERIFY(srt_startup() >= 0);
    Rig rig;
    QVERIFY(rig.start());
    // Callers that connect and never send take every ready intake.
    QList<int> callers;
    for (int i = 0; i < Server::kInitialSrtManagers; ++i) {
        int reason = 0;
        const int caller = silentCaller(rig.srtPort, reason);
        QVERIFY2(caller >= 0,
                 qPrintable(QStringLiteral("caller %1 refused: %2").arg(i).arg(reason)));
        callers << caller;
        // Its admission is on this thread's event loop.
        QTRY_COMPARE_WITH_TIMEOUT(rig.server.freeSrtManagerPorts().size(),
                                  Server::kInitialSrtManagers - 1 - i, kStreamTimeoutMs);
    }
    const int managers = rig.server.managerCount();
    // The next one is refused in the handshake, as overloaded; room is made at once.
    int reason = 0;
    QCOMPARE(silentCaller(rig.srtPort, reason), -1);
    QCOMPARE(reason, SRT_REJX_OVERLOAD);
    QTRY_COMPARE_WITH_TIMEOUT(rig.server.managerCount(), managers + Server::kGrowManagers,
                              kStreamTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.server.freeSrtManagerPorts().isEmpty(), kReadyTimeoutMs);
    // A real camera trying again is served while the silent ones still hold their intakes.
    FfmpegPublisher publisher(srtPublisher());
    QVERIFY(publisher.start(rig.srtPort));
    QTRY_VERIFY_WITH_TIMEOUT(rig.window.states.contains(kStateText), kStreamTimeoutMs);
    publisher.stop();

    // The silent callers cost only until the relay's no-data timeout: their intakes come back.
    QTRY_VERIFY_WITH_TIMEOUT(rig.server.freeSrtManagerPorts().size() >=
                                 Server::kInitialSrtManagers + Server::kGrowManagers,
                             SrtRelay::kNoDataTimeoutMs + kStreamTimeoutMs);
    for (int caller : callers)
        srt_close(caller);
    srt_cleanup();
}

QTEST_MAIN(SrtIngestTest)
#include "tst_srt_ingest.moc"
