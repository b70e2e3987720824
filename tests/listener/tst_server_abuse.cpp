// The listener under abuse: hundreds of connections that reset, close at once or send junk.
// Afterwards a real publisher is still served, the pool is whole again, and threads and memory
// are back near where they were.
#include "ListenerFixtures.h"

#include "output/OutputRouter.h"
#include "support/FfmpegPublisher.h"
#include "support/FreePort.h"
#include "support/RecordingOutput.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QtTest>

using namespace listener;

namespace {

constexpr int kStreamTimeoutMs = 30000;
constexpr int kConnectCycles = 200;
constexpr int kJunkConnections = 100;
constexpr int kMaxJunkBytes = 16384;
// How long a junk sender waits for the intake to hang up before it leaves by itself.
constexpr int kJunkPatienceMs = 500;
// Memory that may stay with the process after the abuse: allocator caches and the like.
constexpr qint64 kRssSlackKb = 48 * 1024;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true; // the sanitizer keeps freed memory in quarantine
#else
constexpr bool kSanitized = false;
#endif

const QString kStateText = QStringLiteral("320x240 30fps");

bool serveOneStream(Server &server, TestWindow &window, quint16 port)
{
    FfmpegPublisher::Options options;
    options.size = QSize(320, 240);
    options.durationS = 2.0;
    FfmpegPublisher publisher(options);
    window.states.clear();
    if (!publisher.start(port))
        return false;
    QElapsedTimer timer;
    timer.start();
    while (!window.states.contains(kStateText) && timer.elapsed() < kStreamTimeoutMs)
        QTest::qWait(20);
    const bool served = window.states.contains(kStateText);
    // The stream ends with the publisher; its manager is replaced and the pool is whole again.
    while ((window.states.last() != QString() || server.freeManagerPorts().size() < 10 ||
            server.managerCount() != 10) &&
           timer.elapsed() < 2 * kStreamTimeoutMs)
        QTest::qWait(20);
    publisher.stop();
    return served && window.states.last().isEmpty() && server.freeManagerPorts().size() == 10;
}

} // namespace

class ServerAbuseTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void abusedListenerStillServesAndGivesEverythingBack();
};

void ServerAbuseTest::initTestCase()
{
    if (!FfmpegPublisher::available())
        QSKIP("the ffmpeg command-line tool is not installed");
}

void ServerAbuseTest::abusedListenerStillServesAndGivesEverythingBack()
{
    RecordingOutput output;
    output.setCopyPictures(false);
    OutputRouter cam(QStringLiteral("Quorvix"));
    TestWindow window;
    TestServer server(&cam, &window);
    const quint16 port = FreePort::loopback();
    QVERIFY(server.startListening(QHostAddress::LocalHost, port));
    QTRY_COMPARE_WITH_TIMEOUT(server.freeManagerPorts().size(), 10, kReadyTimeoutMs);

    // One real stream first, so what a session loads once (decoders, scaler) is in the
    // baseline.
    QVERIFY(serveOneStream(server, window, port));
    const int threadsBefore = threadCount();
    const qint64 rssBefore = statusField("VmRSS");

    QElapsedTimer phase;
    phase.start();
    // Connect and leave: a reset before the listener has accepted, a reset after, a close.
    for (int i = 0; i < kConnectCycles; ++i) {
        QTRY_VERIFY_WITH_TIMEOUT(!server.freeManagerPorts().isEmpty(), kReadyTimeoutMs);
        if (i % 3 == 0) {
            QVERIFY(connectAndReset(port));
            QVERIFY(server.waitForNewConnection(kSocketTimeoutMs));
        } else {
            auto camera = connectCamera(port);
            QVERIFY(camera);
            QVERIFY(server.waitForNewConnection(kSocketTimeoutMs));
            if (i % 3 == 1)
                camera->abort();
            else
                camera->disconnectFromHost();
        }
        QCoreApplication::processEvents();
    }
    qInfo("%d connect/disconnect cycles: %lld ms", kConnectCycles, phase.restart());

    // Junk: random bytes, every fourth sender starting like an RTMP handshake so the intake
    // gets further into it before it gives up.
    QRandomGenerator random(20240611);
    for (int i = 0; i < kJunkConnections; ++i) {
        QTRY_VERIFY_WITH_TIMEOUT(!server.freeManagerPorts().isEmpty(), kReadyTimeoutMs);
        auto camera = connectCamera(port);
        QVERIFY(camera);
        QVERIFY(server.waitForNewConnection(kSocketTimeoutMs));
        QByteArray junk(1 + int(random.bounded(kMaxJunkBytes)), '\0');
        for (char &byte : junk)
            byte = char(random.bounded(256));
        if (i % 4 == 0)
            junk[0] = 3;
        camera->write(junk);
        readUntilClosed(*camera, kJunkPatienceMs);
        camera->abort();
    }
    qInfo("%d junk connections: %lld ms", kJunkConnections, phase.restart());

    // Still serving, with the same ten ports.
    QVERIFY(serveOneStream(server, window, port));
    QCOMPARE(server.lastManagerPort(), kFirstPort + 9);
    QCOMPARE(sorted(server.freeManagerPorts()), portRange(kFirstPort, 10));
    QVERIFY(server.relayCount() <= 10);
    QTRY_COMPARE_WITH_TIMEOUT(threadCount(), threadsBefore, kSocketTimeoutMs);
    const qint64 rssAfter = statusField("VmRSS");
    qInfo("threads %d -> %d, VmRSS %lld kB -> %lld kB (%+lld kB), relay objects %d", threadsBefore,
          threadCount(), rssBefore, rssAfter, rssAfter - rssBefore, server.relayCount());
    if (!kSanitized)
        QVERIFY2(rssAfter - rssBefore < kRssSlackKb, "memory did not come back");

    server.stopListening();
    QTRY_COMPARE_WITH_TIMEOUT(server.managerCount(), 0, kReadyTimeoutMs);
}

QTEST_MAIN(ServerAbuseTest)
#include "tst_server_abuse.moc"
