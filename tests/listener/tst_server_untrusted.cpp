// The listener on a real network: a camera that drops off without closing its connection (a
// real publisher frozen with SIGSTOP), and connections that send one byte and stay open. The
// webcam goes back to the card and never returns to the frozen camera; squatters never keep a
// real camera out for longer than the handshake deadline and a moment.
#include "ListenerFixtures.h"

#include "ingest/RtmpRelay.h"
#include "output/OutputRouter.h"
#include "support/FfmpegPublisher.h"
#include "support/FreePort.h"
#include "support/RecordingOutput.h"

#include <QDir>
#include <QElapsedTimer>
#include <QtTest>

using namespace listener;

namespace {

constexpr int kStreamTimeoutMs = 30000;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kSlackMs = 8000; // sanitized builds tear sessions down several times slower
#else
constexpr int kSlackMs = 2000;
#endif
// The card is back this long after the camera froze: the idle timeout and the session's end.
constexpr int kCardBackMs = RtmpRelay::kNoDataTimeoutMs + 2000 + kSlackMs;
constexpr int kSquatters = 45;

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot).size());
}

int liveFrames(const RecordingOutput &output)
{
    int live = 0;
    for (const RecordingOutput::Frame &frame : output.frames(RecordingOutput::Sink))
        live += frame.live ? 1 : 0;
    return live;
}

FfmpegPublisher::Options camera(bool srt, double seconds, const QString &colour)
{
    FfmpegPublisher::Options options;
    options.size = QSize(320, 240);
    options.durationS = seconds;
    options.videoSource = QStringLiteral("color=c=") + colour;
    options.srt = srt;
    return options;
}

} // namespace

class ServerUntrustedTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void frozenCameraGivesBackTheWebcam_data();
    void frozenCameraGivesBackTheWebcam();
    void squattersDoNotKeepACameraOut();
};

void ServerUntrustedTest::initTestCase()
{
    if (!FfmpegPublisher::available())
        QSKIP("the ffmpeg command-line tool is not installed");
}

void ServerUntrustedTest::frozenCameraGivesBackTheWebcam_data()
{
    QTest::addColumn<bool>("srt");
    QTest::newRow("rtmp") << false;
    QTest::newRow("srt") << true;
}

void ServerUntrustedTest::frozenCameraGivesBackTheWebcam()
{
    QFETCH(bool, srt);
    RecordingOutput output;
    output.setCopyPictures(false);
    OutputRouter cam(QStringLiteral("Quorvix"));
    TestWindow window;
    TestServer server(&cam, &window);
    const quint16 port = srt ? FreePort::udpLoopback() : FreePort::loopback();
    if (srt) {
        SrtOptions options;
        options.port = port;
        server.setSrtOptions(options);
    }
    QVERIFY(server.startListening(QHostAddress::LocalHost, srt ? FreePort::loopback() : port));
    QTRY_COMPARE_WITH_TIMEOUT(server.freeManagerPorts().size(), Server::kInitialManagers,
                              kStreamTimeoutMs);
    if (srt)
        QTRY_COMPARE_WITH_TIMEOUT(server.freeSrtManagerPorts().size(), Server::kInitialSrtManagers,
                                  kStreamTimeoutMs);
    const int idleThreads = threadCount();
    const int idleDescriptors = openDescriptors();

    FfmpegPublisher frozen(camera(srt, 0, QStringLiteral("red")));
    QVERIFY(frozen.start(port));
    QTRY_VERIFY_WITH_TIMEOUT(cam.streamActive(), kStreamTimeoutMs);
    QVERIFY(frozen.freeze());
    QElapsedTimer sinceFrozen;
    sinceFrozen.start();
    QTRY_VERIFY_WITH_TIMEOUT(!cam.streamActive(), kCardBackMs);
    qInfo("%s: card back %lld ms after the camera froze", srt ? "SRT" : "RTMP",
          sinceFrozen.elapsed());
    // Its relay and session are gone, not merely off the output.
    QTRY_COMPARE_WITH_TIMEOUT(server.relayCount(), 0, kStreamTimeoutMs);

    // Another camera comes and goes: the webcam follows it and then shows the card, never the
    // frozen camera's picture again.
    FfmpegPublisher second(camera(srt, 2.0, QStringLiteral("green")));
    QVERIFY(second.start(port));
    QTRY_VERIFY_WITH_TIMEOUT(cam.streamActive(), kStreamTimeoutMs);
    QVERIFY(second.waitForFinished(kStreamTimeoutMs));
    QTRY_VERIFY_WITH_TIMEOUT(!cam.streamActive(), kStreamTimeoutMs);
    // A frozen session still alive would take the output back at once; none does, and no live
    // picture reaches the webcam any more.
    const int liveBefore = liveFrames(output);
    QTest::qWait(1500);
    QVERIFY(!cam.streamActive());
    QCOMPARE(liveFrames(output), liveBefore);

    frozen.stop();
    // Everything the frozen camera held is given back: threads and descriptors as when idle.
    QTRY_VERIFY_WITH_TIMEOUT(server.relayCount() == 0 &&
                                 server.managerCount() ==
                                     Server::kInitialManagers +
                                         (srt ? Server::kInitialSrtManagers : 0),
                             kStreamTimeoutMs);
    QTRY_VERIFY2_WITH_TIMEOUT(
        threadCount() <= idleThreads,
        qPrintable(QStringLiteral("threads %1, idle %2").arg(threadCount()).arg(idleThreads)),
        kStreamTimeoutMs);
    QTRY_VERIFY2_WITH_TIMEOUT(
        openDescriptors() <= idleDescriptors + 2,
        qPrintable(
            QStringLiteral("descriptors %1, idle %2").arg(openDescriptors()).arg(idleDescriptors)),
        kStreamTimeoutMs);
    server.stopListening();
    QTRY_COMPARE_WITH_TIMEOUT(server.managerCount(), 0, kStreamTimeoutMs);
}

void ServerUntrustedTest::squattersDoNotKeepACameraOut()
{
    WebcamRig rig;
    QVERIFY(rig.start());
    auto &[output, cam, window, server, port] = rig;

    // Each sends RTMP's version byte and then nothing, and keeps its connection open.
    std::vector<std::unique_ptr<QTcpSocket>> squatters;
    for (int i = 0; i < kSquatters; ++i) {
        squatters.push_back(connectCamera(port));
        QVERIFY(squatters.back());
    }
    QTRY_COMPARE_WITH_TIMEOUT(server.waitingCount(), 0, kStreamTimeoutMs);

    // A real camera, which like a phone app tries again when it is turned away.
    QElapsedTimer sinceCamera;
    sinceCamera.start();
    int tries = 0;
    bool served = false;
    while (!served && sinceCamera.elapsed() < kStreamTimeoutMs) {
        ++tries;
        FfmpegPublisher publisher(camera(false, 2.0, QStringLiteral("blue")));
        QVERIFY(publisher.start(port));
        QElapsedTimer attempt;
        attempt.start();
        while (!served && publisher.isRunning() && attempt.elapsed() < kStreamTimeoutMs) {
            QTest::qWait(20);
            served = cam.streamActive();
        }
        if (!served)
            publisher.stop();
        else
            QVERIFY(publisher.waitForFinished(kStreamTimeoutMs));
    }
    qInfo("camera served %lld ms after it first tried, in %d tries, beside %d squatters",
          sinceCamera.elapsed(), tries, kSquatters);
    QVERIFY(served);
    QVERIFY2(sinceCamera.elapsed() <= RtmpRelay::kPublishWaitMs + 2000 + kSlackMs,
             qPrintable(QString::number(sinceCamera.elapsed())));

    // The squatters were all closed by then (no handshake within the deadline).
    QTRY_COMPARE_WITH_TIMEOUT(server.unverifiedCount(), 0, kStreamTimeoutMs);
    for (auto &squatter : squatters) {
        squatter->waitForDisconnected(10);
        QCoreApplication::processEvents();
    }
    QVERIFY(rig.stop());
}

QTEST_MAIN(ServerUntrustedTest)
#include "tst_server_untrusted.moc"
