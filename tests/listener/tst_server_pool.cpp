// The listener's pool with raw camera sockets: admission, refusal and growth, hand-out order,
// stop and start, the port warning, and destruction while cameras are connected.
#include "ListenerFixtures.h"

#include "engine/Session.h"
#include "support/FreePort.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

using namespace listener;

namespace {

Session *managerOn(Server &server, int port)
{
    const auto managers = server.findChildren<Session *>();
    for (Session *manager : managers) {
        if (manager->port() == port && !manager->stopped())
            return manager;
    }
    return nullptr;
}

void expectNothingListens(const QList<int> &ports)
{
    for (int port : ports)
        QVERIFY2(!FreePort::isListening(quint16(port)), qPrintable(QString::number(port)));
}

} // namespace

class ServerPoolTest : public QObject
{
    Q_OBJECT

private slots:
    void portHeldShowsWarningAndCreatesNothing();
    void connectionsBeforeReadinessAreRefusedAndGrowThePool();
    void tenAdmittedEleventhRefusedAndStopEndsThem();
    void managerBackFromFailedHandshakeGoesToTheBack();
    void cameraGoneBeforeAttachDoesNotLoseItsManager();
    void stopThenStartContinuesFromTheLastPort();
    void portCounterWrapsAndSkipsHeldPorts();
    void growthStopsAtTheLimit();
    void destructionWithCamerasEndsEveryThread();
};

void ServerPoolTest::portHeldShowsWarningAndCreatesNothing()
{
    TestWindow window;
    TestServer server(nullptr, &window);

    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 0));
    const quint16 port = holder.serverPort();

    QString error;
    QVERIFY(!server.startListening(QHostAddress::Any, port, &error));
    QCOMPARE(
        error,
        QStringLiteral("Port %1 not available\nPlease enter other port ( Settings )").arg(port));
    QVERIFY(!server.isListening());
    QCOMPARE(server.managerCount(), 0);
    QCOMPARE(server.lastManagerPort(), Server::portBase());
    int audioMs = -1, videoMs = -1;
    qint64 bytes = -1;
    QVERIFY(!server.streamStats(audioMs, videoMs, bytes));
    server.resetActiveBuffers(); // nothing to reach

    // Nothing is left half-done: once the port is free the same listener starts normally.
    holder.close();
    QVERIFY(server.startListening(QHostAddress::Any, port));
    QCOMPARE(server.lastManagerPort(), kFirstPort + 9);
    server.stopListening();
}

void ServerPoolTest::connectionsBeforeReadinessAreRefusedAndGrowThePool()
{
    TestWindow window;
    TestServer server(nullptr, &window);
    const quint16 port = FreePort::loopback();
    QVERIFY(server.startListening(QHostAddress::LocalHost, port));
    QCOMPARE(server.lastManagerPort(), kFirstPort + 9);
    QCOMPARE(server.managerCount(), 10);

    // No event has run since the start, so no manager has been taken into the pool yet.
    // waitForNewConnection hands the connection to the listener at once.
    auto first = connectCamera(port);
    QVERIFY(first);
    QVERIFY(server.waitForNewConnection(kSocketTimeoutMs));
    QCOMPARE(server.lastManagerPort(), kFirstPort + 12);
    QCOMPARE(server.managerCount(), 13);
    // A second one while the three new ones are still starting grows the pool again.
    auto second = connectCamera(port);
    QVERIFY(second);
    QVERIFY(server.waitForNewConnection(kSocketTimeoutMs));
    QCOMPARE(server.lastManagerPort(), kFirstPort + 15);

    // The refusal text is on its way before any event runs, and the connection is closed.
    QCOMPARE(readUntilClosed(*first), overloadBytes());
    QCOMPARE(readUntilClosed(*second), overloadBytes());
    int audioMs, videoMs;
    qint64 bytes;
    QVERIFY(!server.streamStats(audioMs, videoMs, bytes));

    QTRY_COMPARE_WITH_TIMEOUT(sorted(server.freeManagerPorts()), portRange(kFirstPort, 16),
                              kReadyTimeoutMs);
    // Ready announcements are not doubled.
    QCOMPARE(server.freeManagerPorts().size(), 16);

    // Once they are ready the next camera is admitted, not refused.
    auto third = connectCamera(port);
    QVERIFY(third);
    QTRY_COMPARE(server.freeManagerPorts().size(), 15);
    QVERIFY(server.streamStats(audioMs, videoMs, bytes));
    QCOMPARE(server.lastManagerPort(), kFirstPort + 15);
    server.stopListening();
    QTRY_COMPARE_WITH_TIMEOUT(server.managerCount(), 0, kReadyTimeoutMs);
}

void ServerPoolTest::tenAdmittedEleventhRefusedAndStopEndsThem()
{
    TestWindow window;
    TestServer server(nullptr, &window);
    IngestSettings settings;
    settings.maxBufferMs = 1500;
    settings.maxBufferIgnoreAudioMs = 450;
    const quint16 port = FreePort::loopback();
    QVERIFY(server.startListening(QHostAddress::LocalHost, port));
    QTRY_COMPARE_WITH_TIMEOUT(server.freeManagerPorts().size(), 10, kReadyTimeoutMs);
    QCOMPARE(sorted(server.freeManagerPorts()), portRange(kFirstPort, 10));
    const QList<int> readyOrder = server.freeManagerPorts();
    int audioMs, videoMs;
    qint64 bytes;
    QVERIFY(!server.streamStats(audioMs, videoMs, bytes));

    std::vector<std::unique_ptr<QTcpSocket>> cameras;
    QList<int> handedOut;
    for (int i = 0; i < 10; ++i) {
        // The window's values are read per connection: the second half ignores audio and
        // chooses Mevo.
        settings.ignoreAudio = i >= 5;
        settings.mevo = i >= 5;
        server.setSettings(settings);
        auto camera = connectCamera(port, handshakeC0C1());
        QVERIFY(camera);
        QTRY_COMPARE_WITH_TIMEOUT(server.freeManagerPorts().size(), 9 - i, kSocketTimeoutMs);
        handedOut.append(server.activeManagerPort());
        Session *manager = managerOn(server, handedOut.last());
        QVERIFY(manager);
        const Session::Admission admission = manager->admission();
        QCOMPARE(admission.ignoreAudio, i >= 5);
        QCOMPARE(admission.mevo, i >= 5);
        QCOMPARE(admission.maxBufferMs, i >= 5 ? 450 : 1500);
        cameras.push_back(std::move(camera));
    }
    QCOMPARE(handedOut, readyOrder);

    // Each camera reaches an intake of its own: the RTMP handshake is answered through its
    // relay by the manager it was given.
    for (auto &camera : cameras)
        QVERIFY(waitForBytes(*camera, kHandshakeInBytes));

    auto eleventh = connectCamera(port);
    QVERIFY(eleventh);
    QCOMPARE(readUntilClosed(*eleventh), overloadBytes());
    QCOMPARE(server.lastManagerPort(), kFirstPort + 12);
    QTRY_COMPARE_WITH_TIMEOUT(sorted(server.freeManagerPorts()), portRange(kFirstPort + 10, 3),
                              kReadyTimeoutMs);

    // Statistics are the latest admitted camera's: what it sent, not what it was answered.
    QVERIFY(server.streamStats(audioMs, videoMs, bytes));
    QCOMPARE(bytes, qint64(kHandshakeOutBytes));
    QCOMPARE(audioMs, 0);
    QCOMPARE(videoMs, 0);
    QCOMPARE(server.activeManagerPort(), handedOut.last());

    QElapsedTimer stopTime;
    stopTime.start();
    server.stopListening();
    qInfo("stop with 10 relays and 3 waiting managers: %lld ms", stopTime.elapsed());
    QVERIFY(!server.isListening());
    QVERIFY(!server.streamStats(audioMs, videoMs, bytes));
    for (auto &camera : cameras)
        QTRY_COMPARE(camera->state(), QAbstractSocket::UnconnectedState);
    // The serving managers end by themselves, nothing takes their place, nothing listens.
    QTRY_COMPARE_WITH_TIMEOUT(server.managerCount(), 0, kReadyTimeoutMs);
    QCOMPARE(server.relayCount(), 0);
    QCOMPARE(server.lastManagerPort(), kFirstPort + 12);
    QVERIFY(server.freeManagerPorts().isEmpty());
    expectNothingListens(portRange(kFirstPort, 13));
    QVERIFY(!FreePort::isListening(port));
}

void ServerPoolTest::managerBackFromFailedHandshakeGoesToTheBack()
{
    TestWindow window;
    TestServer server(nullptr, &window);
    const quint16 port = FreePort::loopback();
    QVERIFY(server.startListening(QHostAddress::LocalHost, port));
    QTRY_COMPARE_WITH_TIMEOUT(server.freeManagerPorts().size(), 10, kReadyTimeoutMs);
    const QList<int> order = server.freeManagerPorts();

    // RTMP's version byte, part of a handshake, and gone: the intake gives up on the
    // handshake and listens again on the same port.
    auto stranger = connectCamera(port);
    QVERIFY(stranger);
    stranger->write(QByteArray(100, 'G'));
    QTRY_COMPARE(server.activeManagerPort(), order.first());
    stranger->disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(server.freeManagerPorts(), order.mid(1) + order.mid(0, 1),
                              kReadyTimeoutMs);
    QCOMPARE(server.lastManagerPort(), kFirstPort + 9); // no replacement, no growth

    auto camera = connectCamera(port);
    QVERIFY(camera);
    QTRY_COMPARE(server.activeManagerPort(), order.at(1));
    server.stopListening();
    QTRY_COMPARE_WITH_TIMEOUT(server.managerCount(), 0, kReadyTimeoutMs);
}

void ServerPoolTest::cameraGoneBeforeAttachDoesNotLoseItsManager()
{
    TestWindow window;
    TestServer server(nullptr, &window);
    const quint16 port = FreePort::loopback();
    QVERIFY(server.startListening(QHostAddress::LocalHost, port));
    QTRY_COMPARE_WITH_TIMEOUT(server.freeManagerPorts().size(), 10, kReadyTimeoutMs);
    const QList<int> order = server.freeManagerPorts();

    // The camera starts its handshake and resets the connection before the listener has even
    // accepted it. Either the reset is seen first (no intake is handed out) or the version
    // byte is (the relay cannot attach the connection and never reaches the manager it was
    // given, which still waits for a connection and comes back into the pool).
    QVERIFY(connectAndReset(port, QByteArray(1, '\x03')));
    QTRY_VERIFY(server.activeManagerPort() == order.first() || server.notRtmpCount() == 1);
    QTRY_COMPARE_WITH_TIMEOUT(server.freeManagerPorts().size(), 10, kReadyTimeoutMs);
    QCOMPARE(server.managerCount(), 10);

    // And it serves: ten cameras are still admitted.
    std::vector<std::unique_ptr<QTcpSocket>> cameras;
    for (int i = 0; i < 10; ++i) {
        cameras.push_back(connectCamera(port, handshakeC0C1()));
        QVERIFY(cameras.back());
    }
    QTRY_COMPARE(server.freeManagerPorts().size(), 0);
    for (auto &c : cameras)
        QVERIFY(waitForBytes(*c, kHandshakeInBytes));
    QCOMPARE(server.lastManagerPort(), kFirstPort + 9);
    server.stopListening();
    QTRY_COMPARE_WITH_TIMEOUT(server.managerCount(), 0, kReadyTimeoutMs);
}

void ServerPoolTest::stopThenStartContinuesFromTheLastPort()
{
    TestWindow window;
    TestServer server(nullptr, &window);
    const quint16 port = FreePort::loopback();
    QVERIFY(server.startListening(QHostAddress::LocalHost, port));
    QTRY_COMPARE_WITH_TIMEOUT(server.freeManagerPorts().size(), 10, kReadyTimeoutMs);

    QElapsedTimer stopTime;
    stopTime.start();
    server.stopListening();
    qInfo("stop with 10 waiting managers: %lld ms", stopTime.elapsed());
    QVERIFY(server.freeManagerPorts().isEmpty());
    QTRY_COMPARE(server.managerCount(), 0);
    expectNothingListens(portRange(kFirstPort, 10));
    // A stop while stopped is harmless.
    server.stopListening();

    QVERIFY(server.startListening(QHostAddress::LocalHost, port));
    QCOMPARE(server.lastManagerPort(), kFirstPort + 19);
    QTRY_COMPARE_WITH_TIMEOUT(sorted(server.freeManagerPorts()), portRange(kFirstPort + 10, 10),
                              kReadyTimeoutMs);
    int audioMs, videoMs;
    qint64 bytes;
    QVERIFY(!server.streamStats(audioMs, videoMs, bytes));
    auto camera = connectCamera(port);
    QVERIFY(camera);
    QTRY_VERIFY(server.streamStats(audioMs, videoMs, bytes));
    QVERIFY(server.activeManagerPort() > kFirstPort + 9);
    server.stopListening();
    QVERIFY(!server.streamStats(audioMs, videoMs, bytes));
    QTRY_COMPARE_WITH_TIMEOUT(server.managerCount(), 0, kReadyTimeoutMs);
}

void ServerPoolTest::portCounterWrapsAndSkipsHeldPorts()
{
    TestWindow window;
    TestServer server(nullptr, &window);
    const quint16 port = FreePort::loopback();
    server.setLastManagerPort(Server::kLastPort - 2);
    QVERIFY(server.startListening(QHostAddress::LocalHost, port));
    QCOMPARE(server.lastManagerPort(), kFirstPort + 7);
    const QList<int> wrapped =
        portRange(kFirstPort, 8) + QList<int>{Server::kLastPort - 1, Server::kLastPort};
    QTRY_COMPARE_WITH_TIMEOUT(sorted(server.freeManagerPorts()), wrapped, kReadyTimeoutMs);

    // A start right after the stop: stopped managers that still exist (the stop waits for
    // them only up to its deadline) keep their ports, so the new session gets ten ports no
    // live manager holds, and late end signals bring no successors into it.
    server.stopListening();
    const QList<int> held = server.managerPorts_for_testing();
    server.setLastManagerPort(Server::kLastPort);
    QVERIFY(server.startListening(QHostAddress::LocalHost, port));
    QTRY_COMPARE_WITH_TIMEOUT(server.freeManagerPorts().size(), 10, kReadyTimeoutMs);
    const QList<int> fresh = sorted(server.freeManagerPorts());
    QCOMPARE(QSet<int>(fresh.begin(), fresh.end()).size(), 10);
    for (int taken : held)
        QVERIFY2(!fresh.contains(taken), qPrintable(QString::number(taken)));
    QTRY_COMPARE(server.managerCount(), 10);
    server.stopListening();
    QTRY_COMPARE_WITH_TIMEOUT(server.managerCount(), 0, kReadyTimeoutMs);
}

void ServerPoolTest::growthStopsAtTheLimit()
{
    TestWindow window;
    TestServer server(nullptr, &window);
    const quint16 port = FreePort::loopback();
    QVERIFY(server.startListening(QHostAddress::LocalHost, port));
    // A flood of connections before any manager is ready: each refusal adds three managers
    // until the limit, then no more.
    const int refusals = (Server::kMaxManagers - 10) / Server::kGrowManagers + 3;
    std::vector<std::unique_ptr<QTcpSocket>> cameras;
    for (int i = 0; i < refusals; ++i) {
        cameras.push_back(connectCamera(port));
        QVERIFY(cameras.back());
        QVERIFY(server.waitForNewConnection(kSocketTimeoutMs));
    }
    QCOMPARE(server.managerCount(), Server::kMaxManagers);
    QCOMPARE(server.lastManagerPort(), Server::portBase() + Server::kMaxManagers);
    for (auto &camera : cameras)
        QCOMPARE(readUntilClosed(*camera), overloadBytes());
    QTRY_COMPARE_WITH_TIMEOUT(server.freeManagerPorts().size(), Server::kMaxManagers,
                              kReadyTimeoutMs);
    QElapsedTimer stopTime;
    stopTime.start();
    server.stopListening();
    qInfo("stop with %d waiting managers: %lld ms", Server::kMaxManagers, stopTime.elapsed());
    QTRY_COMPARE_WITH_TIMEOUT(server.managerCount(), 0, kReadyTimeoutMs);
}

void ServerPoolTest::destructionWithCamerasEndsEveryThread()
{
    const int threadsBefore = threadCount();
    TestWindow window;
    auto server = std::make_unique<TestServer>(nullptr, &window);
    const quint16 port = FreePort::loopback();
    QVERIFY(server->startListening(QHostAddress::LocalHost, port));
    QTRY_COMPARE_WITH_TIMEOUT(server->freeManagerPorts().size(), 10, kReadyTimeoutMs);
    // One camera in the middle of its handshake, one connected and silent.
    auto talking = connectCamera(port);
    auto silent = connectCamera(port);
    QVERIFY(talking && silent);
    talking->write(handshakeC1());
    QVERIFY(waitForBytes(*talking, kHandshakeInBytes));
    QTRY_COMPARE(server->relayCount(), 2);

    server.reset(); // while listening, with both cameras relayed
    QVERIFY(!FreePort::isListening(port));
    // Every thread was joined; the kernel drops an ended thread's entry a moment later. (A
    // thread of an earlier test may still have been ending when the count was taken, so the
    // count may also fall below it.)
    QTRY_VERIFY(threadCount() <= threadsBefore);
    QTRY_COMPARE(talking->state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(silent->state(), QAbstractSocket::UnconnectedState);
    expectNothingListens(portRange(kFirstPort, 10));
}

QTEST_MAIN(ServerPoolTest)
#include "tst_server_pool.moc"
