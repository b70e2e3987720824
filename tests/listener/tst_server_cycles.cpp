// Publishers one after another through the listener, more of them than the pool has managers:
// from the eleventh on, each lands on a manager that took the port of one whose session ended,
// and every one of them must be served like the first. A manager port another program holds
// is given up for the next one instead of being handed cameras it cannot take.
#include "ListenerFixtures.h"

#include "ingest/PortAllocator.h"
#include "output/OutputRouter.h"
#include "support/FfmpegPublisher.h"
#include "support/FreePort.h"
#include "support/RecordingOutput.h"

#include <QtTest>

#include <algorithm>

using namespace listener;

namespace {

constexpr int kStreamTimeoutMs = 30000;
// One more than the pool: the last two reach replacements of the first two.
constexpr int kCycles = Server::kInitialManagers + 2;
constexpr int kFramesPerCycle = 5;
const QString kStateText = QStringLiteral("320x240 30fps");
// Manager ports of these tests: above the range the suite's other intakes take from the same
// base, so suites run side by side with their own QUORVIX_INTAKE_PORT_BASE stay apart.
int portCounter()
{
    return std::min(PortAllocator::portBase() + 1300, 65400);
}

} // namespace

class ServerCyclesTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everySequentialPublisherIsServedAlsoOnReplacements();
    void aManagerPortHeldElsewhereMovesToTheNextPort();
};

void ServerCyclesTest::initTestCase()
{
    if (!FfmpegPublisher::available())
        QSKIP("the ffmpeg command-line tool is not installed");
}

void ServerCyclesTest::everySequentialPublisherIsServedAlsoOnReplacements()
{
    RecordingOutput output;
    output.setCopyPictures(false);
    OutputRouter cam(QStringLiteral("Quorvix"));
    TestWindow window;
    TestServer server(&cam, &window);
    server.setLastManagerPort(portCounter());
    const quint16 port = FreePort::loopback();
    QVERIFY(server.startListening(QHostAddress::LocalHost, port));
    QTRY_COMPARE_WITH_TIMEOUT(server.freeManagerPorts().size(), Server::kInitialManagers,
                              kReadyTimeoutMs);

    FfmpegPublisher::Options options;
    options.size = QSize(320, 240);
    options.durationS = 0;
    QList<int> servedPorts;
    for (int cycle = 1; cycle <= kCycles; ++cycle) {
        // The pool hands out its managers in the order they announced themselves.
        const int expectedPort = server.freeManagerPorts().value(0, -1);
        QVERIFY(expectedPort > portCounter());
        if (cycle > Server::kInitialManagers)
            QCOMPARE(expectedPort, servedPorts.at(cycle - 1 - Server::kInitialManagers));
        servedPorts.append(expectedPort);
        window.states.clear();
        const int framesBefore = output.frameCount(RecordingOutput::Sink);
        FfmpegPublisher publisher(options);
        QVERIFY(publisher.start(port));
        QTRY_VERIFY2_WITH_TIMEOUT(window.states.contains(kStateText),
                                  qPrintable(QStringLiteral("cycle %1 on port %2 not served: %3")
                                                 .arg(cycle)
                                                 .arg(expectedPort)
                                                 .arg(window.states.join(QLatin1Char('|')))),
                                  kStreamTimeoutMs);
        QCOMPARE(server.activeManagerPort(), expectedPort);
        QTRY_VERIFY_WITH_TIMEOUT(output.frameCount(RecordingOutput::Sink) >=
                                     framesBefore + kFramesPerCycle,
                                 kStreamTimeoutMs);

        // The publisher leaves; its manager ends and a fresh one takes the port, at the back.
        publisher.stop();
        QTRY_COMPARE_WITH_TIMEOUT(window.states.last(), QString(), kStreamTimeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(server.managerCount(), Server::kInitialManagers, kReadyTimeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(server.freeManagerPorts().size(), Server::kInitialManagers,
                                  kReadyTimeoutMs);
        QCOMPARE(server.freeManagerPorts().last(), expectedPort);
    }
    QCOMPARE(sorted(server.freeManagerPorts()),
             portRange(portCounter() + 1, Server::kInitialManagers));
    server.stopListening();
    QTRY_COMPARE_WITH_TIMEOUT(server.managerCount(), 0, kReadyTimeoutMs);
}

void ServerCyclesTest::aManagerPortHeldElsewhereMovesToTheNextPort()
{
    // Another program (here a plain listener) holds the first manager port.
    QTcpServer other;
    const int held = portCounter() + 1;
    QVERIFY(other.listen(QHostAddress::LocalHost, quint16(held)));
    RecordingOutput output;
    output.setCopyPictures(false);
    OutputRouter cam(QStringLiteral("Quorvix"));
    TestWindow window;
    TestServer server(&cam, &window);
    server.setLastManagerPort(portCounter());
    const quint16 port = FreePort::loopback();
    QVERIFY(server.startListening(QHostAddress::LocalHost, port));
    // The manager that cannot bind leaves the pool and a new one takes the next port.
    const QList<int> expected = portRange(held + 1, Server::kInitialManagers);
    QTRY_COMPARE_WITH_TIMEOUT(sorted(server.freeManagerPorts()), expected, kReadyTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(server.managerCount(), Server::kInitialManagers, kReadyTimeoutMs);
    QCOMPARE(server.lastManagerPort(), held + Server::kInitialManagers);

    // Cameras are served, and none is handed to the other program.
    FfmpegPublisher::Options options;
    options.size = QSize(320, 240);
    options.durationS = 0;
    FfmpegPublisher publisher(options);
    QVERIFY(publisher.start(port));
    QTRY_VERIFY_WITH_TIMEOUT(window.states.contains(kStateText), kStreamTimeoutMs);
    QVERIFY(server.activeManagerPort() != held);
    QVERIFY(output.waitForFrames(kFramesPerCycle, kStreamTimeoutMs, RecordingOutput::Sink));
    QVERIFY(!other.hasPendingConnections());
    publisher.stop();
    server.stopListening();
    QTRY_COMPARE_WITH_TIMEOUT(server.managerCount(), 0, kReadyTimeoutMs);
}

QTEST_MAIN(ServerCyclesTest)
#include "tst_server_cycles.moc"
