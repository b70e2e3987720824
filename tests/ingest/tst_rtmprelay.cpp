// The connection relay over real sockets on 127.0.0.1: a listener accepts the "camera" and
// starts an RtmpRelay exactly as the program's listener does, and a plain QTcpServer stands in
// for the stream manager's RTMP intake. The camera starts its session (handshake, connect,
// publish) as any RTMP camera does; what it sends after that is copied as it is.

#include "ingest/RtmpRelay.h"
#include "support/LogCapture.h"
#include "support/RtmpSessionStart.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QPointer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray data((size + 3) / 4 * 4, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(data.data()), data.size() / 4);
    data.resize(size);
    return data;
}

constexpr int kLongWatchdogMs = 600000; // never fires during a test
constexpr int kShortWatchdogMs = 300;
constexpr int kWaitMs = 20000;

} // namespace

// The user's port: each accepted connection gets its own relay, owned by the listener.
class RelayListener : public QTcpServer
{
    Q_OBJECT
public:
    RelayListener(int intakePort, int noDataTimeoutMs)
        : m_intakePort(intakePort), m_noDataTimeoutMs(noDataTimeoutMs)
    {
    }

    ~RelayListener() override
    {
        for (const QPointer<RtmpRelay> &relay : m_relays)
            delete relay.data();
    }

    QList<QPointer<RtmpRelay>> m_relays;
    // Stop each relay right after starting it, before it can finish its set-up.
    bool m_stopAfterStart = false;
    // End each relay before it is started.
    bool m_endBeforeStart = false;
    bool m_stoppedInTime = false;

protected:
    void incomingConnection(qintptr socketDescriptor) override
    {
        auto *relay = new RtmpRelay(socketDescriptor, m_intakePort);
        relay->setNoDataTimeoutMs(m_noDataTimeoutMs);
        m_relays.append(relay);
        if (m_endBeforeStart)
            relay->end(RelayEnd::Refused);
        relay->start();
        if (m_stopAfterStart)
            m_stoppedInTime = relay->stop();
    }

private:
    const int m_intakePort;
    const int m_noDataTimeoutMs;
};

// One camera relayed to one intake.
struct Rig
{
    QTcpServer intake;
    std::unique_ptr<RelayListener> listener;
    QTcpSocket camera;
    QTcpSocket *managerSide = nullptr; // the intake's end of the relay's loopback connection
    RtmpRelay *relay = nullptr;
    qint64 startBytes = 0; // the session start, sent and relayed by openRelaying
};

class RtmpRelayTest : public QObject
{
    Q_OBJECT

private:
    // Listener, relay and intake connected; returns with a failed test on any hitch.
    void openRig(Rig &rig, int noDataTimeoutMs)
    {
        QVERIFY(rig.intake.listen(QHostAddress::LocalHost, 0));
        rig.listener = std::make_unique<RelayListener>(rig.intake.serverPort(), noDataTimeoutMs);
        QVERIFY(rig.listener->listen(QHostAddress::LocalHost, 0));
        rig.camera.connectToHost(QHostAddress::LocalHost, rig.listener->serverPort());
        QVERIFY(rig.camera.waitForConnected(kWaitMs));
        QTRY_COMPARE_WITH_TIMEOUT(rig.listener->m_relays.size(), 1, kWaitMs);
        rig.relay = rig.listener->m_relays.first();
        QTRY_VERIFY_WITH_TIMEOUT(rig.intake.hasPendingConnections(), kWaitMs);
        rig.managerSide = rig.intake.nextPendingConnection();
        QVERIFY(rig.managerSide);
    }

    // Relay connected to the intake, the camera's session started, and copying.
    void openRelaying(Rig &rig, int noDataTimeoutMs)
    {
        openRig(rig, noDataTimeoutMs);
        if (QTest::currentTestFailed())
            return;
        QSignalSpy started(rig.relay, &RtmpRelay::sessionStarted);
        const QByteArray start = RtmpSessionStart::bytes("live");
        rig.camera.write(start);
        QTRY_VERIFY_WITH_TIMEOUT(rig.managerSide->bytesAvailable() >= start.size(), kWaitMs);
        QCOMPARE(rig.managerSide->read(start.size()), start);
        QTRY_COMPARE_WITH_TIMEOUT(started.size(), 1, kWaitMs);
        rig.startBytes = start.size();
        QCOMPARE(rig.relay->bytesFromClient(), rig.startBytes);
    }

private slots:
    void copiesBothWaysUnchangedAndInOrder()
    {
        Rig rig;
        openRelaying(rig, kLongWatchdogMs);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(rig.relay->peerAddress(), QStringLiteral("127.0.0.1"));

        // Odd sizes so no chunk boundary lines up with a power of two.
        const QByteArray up = randomBytes(3 * 1024 * 1024 + 17, 1);
        const QByteArray down = randomBytes(2 * 1024 * 1024 + 5, 2);
        QByteArray gotUp;
        QByteArray gotDown;
        connect(rig.managerSide, &QTcpSocket::readyRead, rig.managerSide,
                [&] { gotUp += rig.managerSide->readAll(); });
        connect(&rig.camera, &QTcpSocket::readyRead, &rig.camera,
                [&] { gotDown += rig.camera.readAll(); });
        // Both ways at once, each in uneven pieces.
        for (int at = 0; at < up.size(); at += 100003)
            rig.camera.write(up.mid(at, 100003));
        for (int at = 0; at < down.size(); at += 65537)
            rig.managerSide->write(down.mid(at, 65537));

        QTRY_COMPARE_WITH_TIMEOUT(gotUp.size(), up.size(), 60000);
        QTRY_COMPARE_WITH_TIMEOUT(gotDown.size(), down.size(), 60000);
        QVERIFY(gotUp == up);
        QVERIFY(gotDown == down);
        QCOMPARE(rig.relay->bytesFromClient(), rig.startBytes + up.size());
        QVERIFY(rig.relay->isRunning());
    }

    // A camera speaks first (the RTMP handshake) and then waits for the answer: what it sent
    // before the relay was set up must still reach the intake.
    void bytesSentBeforeSetUpAreRelayed()
    {
        Rig rig;
        QVERIFY(rig.intake.listen(QHostAddress::LocalHost, 0));
        rig.listener = std::make_unique<RelayListener>(rig.intake.serverPort(), kLongWatchdogMs);
        QVERIFY(rig.listener->listen(QHostAddress::LocalHost, 0));
        QByteArray hello = randomBytes(1537, 8); // C0 + C1
        hello[0] = 3;
        rig.camera.connectToHost(QHostAddress::LocalHost, rig.listener->serverPort());
        QVERIFY(rig.camera.waitForConnected(kWaitMs));
        rig.camera.write(hello);
        QVERIFY(rig.camera.waitForBytesWritten(kWaitMs)); // in the kernel before any accept
        QVERIFY(rig.listener->m_relays.isEmpty());

        QTRY_VERIFY_WITH_TIMEOUT(rig.intake.hasPendingConnections(), kWaitMs);
        rig.managerSide = rig.intake.nextPendingConnection();
        QTRY_COMPARE_WITH_TIMEOUT(rig.managerSide->bytesAvailable(), qint64(hello.size()), kWaitMs);
        QCOMPARE(rig.managerSide->readAll(), hello);
        QCOMPARE(rig.listener->m_relays.first()->bytesFromClient(), qint64(hello.size()));
    }

    void countsOnlyCameraBytes()
    {
        Rig rig;
        openRelaying(rig, kLongWatchdogMs);
        if (QTest::currentTestFailed())
            return;
        rig.camera.readAll();

        const QByteArray reply = randomBytes(200000, 3);
        rig.managerSide->write(reply);
        QTRY_COMPARE_WITH_TIMEOUT(rig.camera.bytesAvailable(), qint64(reply.size()), kWaitMs);
        QCOMPARE(rig.camera.readAll(), reply);
        QCOMPARE(rig.relay->bytesFromClient(), rig.startBytes);

        const QByteArray sent = randomBytes(1234, 4);
        rig.camera.write(sent);
        QTRY_COMPARE_WITH_TIMEOUT(rig.managerSide->bytesAvailable(), qint64(sent.size()), kWaitMs);
        QCOMPARE(rig.managerSide->readAll(), sent);
        QCOMPARE(rig.relay->bytesFromClient(), rig.startBytes + sent.size());
    }

    void peerCloseEndsTheOtherSide_data()
    {
        QTest::addColumn<bool>("cameraCloses");
        QTest::newRow("camera closes") << true;
        QTest::newRow("intake closes") << false;
    }

    void peerCloseEndsTheOtherSide()
    {
        QFETCH(bool, cameraCloses);
        Rig rig;
        openRelaying(rig, kLongWatchdogMs);
        if (QTest::currentTestFailed())
            return;
        // Some traffic first, so the close is not that of an idle connection.
        rig.camera.write("abc");
        QTRY_COMPARE_WITH_TIMEOUT(rig.managerSide->bytesAvailable(), qint64(3), kWaitMs);

        QTcpSocket *closing = cameraCloses ? &rig.camera : rig.managerSide;
        QTcpSocket *other = cameraCloses ? rig.managerSide : &rig.camera;
        QSignalSpy finished(rig.relay, &Relay::finished);
        closing->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(other->state(), QAbstractSocket::UnconnectedState, kWaitMs);
        // The cause is kept, not the echo of aborting the other side.
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, kWaitMs);
        QCOMPARE(rig.relay->endReason(),
                 cameraCloses ? RelayEnd::CameraLeft : RelayEnd::IntakeGone);
        // Back on this thread, where its owner deletes it.
        QCOMPARE(rig.relay->thread(), QThread::currentThread());
        QVERIFY(rig.relay->isFinished());
    }

    void silentCameraIsDroppedByTheWatchdog()
    {
        QElapsedTimer sinceConnect;
        sinceConnect.start();
        Rig rig;
        openRig(rig, kShortWatchdogMs);
        if (QTest::currentTestFailed())
            return;

        QTRY_COMPARE_WITH_TIMEOUT(rig.camera.state(), QAbstractSocket::UnconnectedState, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(rig.managerSide->state(), QAbstractSocket::UnconnectedState,
                                  kWaitMs);
        QVERIFY(rig.relay->wait(kWaitMs));
        // Not before the watchdog's time: it is armed after set-up, not at once.
        QVERIFY2(sinceConnect.elapsed() >= kShortWatchdogMs,
                 qPrintable(QString::number(sinceConnect.elapsed())));
        QCOMPARE(rig.relay->endReason(), RelayEnd::Silent);
        QCOMPARE(rig.relay->bytesFromClient(), qint64(0));
    }

    // A phone that leaves the network sends no FIN: a camera that streamed and then goes
    // quiet is dropped too, while one that keeps sending, however slowly, is kept.
    void cameraThatGoesQuietIsDropped()
    {
        Rig quick;
        openRig(quick, kShortWatchdogMs);
        if (QTest::currentTestFailed())
            return;
        const QByteArray start = RtmpSessionStart::bytes("live");
        quick.camera.write(start);
        QTRY_VERIFY_WITH_TIMEOUT(quick.managerSide->bytesAvailable() >= start.size(), kWaitMs);
        quick.managerSide->readAll();
        // Bytes at a third of the timeout keep it alive over several timeouts.
        for (int i = 0; i < 12; ++i) {
            quick.camera.write("x", 1);
            QTest::qWait(kShortWatchdogMs / 3);
            QVERIFY(quick.relay->isRunning());
        }
        QElapsedTimer quiet;
        quiet.start();
        QTRY_COMPARE_WITH_TIMEOUT(quick.camera.state(), QAbstractSocket::UnconnectedState, kWaitMs);
        QVERIFY(quick.relay->wait(kWaitMs));
        QVERIFY(quiet.elapsed() >= kShortWatchdogMs / 2);
        QCOMPARE(quick.relay->endReason(), RelayEnd::Silent);
        QCOMPARE(quick.relay->bytesFromClient(), qint64(start.size() + 12));
    }

    void backPressureBoundsTheRelay_data()
    {
        QTest::addColumn<bool>("upstream");
        QTest::newRow("camera to intake") << true;
        QTest::newRow("intake to camera") << false;
    }

    // A sender much faster than its reader: the relay holds no more than its bound, the sender
    // is held back, and once the reader drains, every byte arrives in order.
    void backPressureBoundsTheRelay()
    {
        QFETCH(bool, upstream);
        Rig rig;
        openRelaying(rig, kLongWatchdogMs);
        if (QTest::currentTestFailed())
            return;
        QTcpSocket *sender = upstream ? &rig.camera : rig.managerSide;
        QTcpSocket *reader = upstream ? rig.managerSide : &rig.camera;
        // The reader keeps what it does not read in the kernel, as a busy intake would.
        reader->setReadBufferSize(64 * 1024);

        // Keep the sender topped up (the kernel's loopback buffers can grow to tens of MB, so a
        // fixed amount would prove nothing) until the whole path stalls.
        constexpr qint64 kChunkBytes = 1024 * 1024;
        constexpr qint64 kCapBytes = 512 * kChunkBytes;
        QRandomGenerator generator(5);
        QCryptographicHash sentHash(QCryptographicHash::Sha256);
        QByteArray chunk(kChunkBytes, Qt::Uninitialized);
        qint64 sent = 0;
        bool feeding = true;
        auto topUp = [&] {
            while (feeding && sender->bytesToWrite() < 8 * kChunkBytes && sent < kCapBytes) {
                generator.fillRange(reinterpret_cast<quint32 *>(chunk.data()), chunk.size() / 4);
                sentHash.addData(chunk);
                QCOMPARE(sender->write(chunk), kChunkBytes);
                sent += kChunkBytes;
            }
        };
        connect(sender, &QTcpSocket::bytesWritten, sender, topUp);
        topUp();

        QTRY_VERIFY_WITH_TIMEOUT(rig.relay->bufferedBytes() >= RtmpRelay::kMaxUnsentBytes, 60000);
        QSignalSpy progress(sender, &QTcpSocket::bytesWritten);
        QElapsedTimer stalling;
        stalling.start();
        while (progress.wait(500) && stalling.elapsed() < 120000)
            progress.clear();
        feeding = false;

        qInfo("stalled after %lld MB sent; relay peak %lld bytes, %lld taken from the camera",
              sent / kChunkBytes, rig.relay->peakBufferedBytes(), rig.relay->bytesFromClient());
        QVERIFY2(sent < kCapBytes, "the path never stalled");
        QVERIFY(sender->bytesToWrite() > 0);
        QVERIFY2(rig.relay->peakBufferedBytes() <= RtmpRelay::kMaxBufferedBytes,
                 qPrintable(QString::number(rig.relay->peakBufferedBytes())));
        if (upstream)
            QVERIFY(rig.relay->bytesFromClient() < rig.startBytes + sent);
        else
            QCOMPARE(rig.relay->bytesFromClient(), rig.startBytes);

        QCryptographicHash gotHash(QCryptographicHash::Sha256);
        qint64 got = 0;
        auto drain = [&] {
            const QByteArray data = reader->readAll();
            got += data.size();
            gotHash.addData(data);
        };
        connect(reader, &QTcpSocket::readyRead, reader, drain);
        drain();
        QTRY_COMPARE_WITH_TIMEOUT(got, sent, 120000);
        QCOMPARE(gotHash.result(), sentHash.result());
        QVERIFY2(rig.relay->peakBufferedBytes() <= RtmpRelay::kMaxBufferedBytes,
                 qPrintable(QString::number(rig.relay->peakBufferedBytes())));
        QCOMPARE(rig.relay->bytesFromClient(), rig.startBytes + (upstream ? sent : qint64(0)));
        QVERIFY(rig.relay->isRunning());
    }

    void unattachableDescriptorIsClosed_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("no descriptor (-1)") << "none";
        QTest::newRow("closed descriptor") << "closed";
        QTest::newRow("pipe") << "pipe";
        QTest::newRow("UDP socket") << "udp";
        QTest::newRow("listening TCP socket") << "listening";
    }

    void unattachableDescriptorIsClosed()
    {
        QFETCH(QString, kind);
        int pipeEnds[2] = {-1, -1};
        QCOMPARE(::pipe2(pipeEnds, O_NONBLOCK | O_CLOEXEC), 0);
        int descriptor = -1;
        if (kind == "closed") {
            // A number far above anything in use, so nobody gets it while the relay runs.
            descriptor = ::fcntl(pipeEnds[1], F_DUPFD_CLOEXEC, 900);
            QVERIFY(descriptor >= 900);
            QCOMPARE(::close(descriptor), 0);
        } else if (kind == "pipe") {
            descriptor = pipeEnds[1];
        } else if (kind == "udp") {
            descriptor = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        } else if (kind == "listening") {
            descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            QCOMPARE(::bind(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof(address)),
                     0);
            QCOMPARE(::listen(descriptor, 1), 0);
        }
        if (kind == "udp" || kind == "listening")
            QVERIFY(descriptor >= 0);

        QTcpServer intake;
        QVERIFY(intake.listen(QHostAddress::LocalHost, 0));
        {
            LogCapture log;
            RtmpRelay relay(descriptor, intake.serverPort());
            QSignalSpy finished(&relay, &Relay::finished);
            relay.start();
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, kWaitMs);
            QCOMPARE(relay.endReason(), RelayEnd::CameraLeft);
            QVERIFY(!intake.hasPendingConnections());
            QCOMPARE(log.count(QStringLiteral("ProxyThread: ERROR close")),
                     0); // never closes what is not open
        }

        // The relay closed the write end it was given: the read end sees EOF, not "empty".
        char byte = 0;
        const ssize_t readResult = ::read(pipeEnds[0], &byte, 1);
        const bool pipeWriteEndClosed = readResult == 0;
        if (kind != "pipe")
            ::close(pipeEnds[1]);
        ::close(pipeEnds[0]);
        QCOMPARE(pipeWriteEndClosed, kind == "pipe");
        if (kind == "udp" || kind == "listening") {
            errno = 0;
            const bool stillOpen = ::fcntl(descriptor, F_GETFD) != -1;
            if (stillOpen)
                ::close(descriptor);
            QVERIFY(!stillOpen);
        }
    }

    void unreachableIntakeEndsTheRelay_data()
    {
        QTest::addColumn<bool>("negativePort");
        QTest::newRow("port with no listener") << false;
        QTest::newRow("negative port") << true;
    }

    void unreachableIntakeEndsTheRelay()
    {
        QFETCH(bool, negativePort);
        int port = -1;
        if (!negativePort) {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            port = probe.serverPort();
        }
        RelayListener listener(port, kLongWatchdogMs);
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
        QTcpSocket camera;
        camera.connectToHost(QHostAddress::LocalHost, listener.serverPort());
        QVERIFY(camera.waitForConnected(kWaitMs));
        camera.write("lost");
        QTRY_COMPARE_WITH_TIMEOUT(camera.state(), QAbstractSocket::UnconnectedState, kWaitMs);
        QCOMPARE(listener.m_relays.size(), 1);
        QVERIFY(listener.m_relays.first()->wait(kWaitMs));
        QCOMPARE(listener.m_relays.first()->endReason(), RelayEnd::IntakeGone);
        QCOMPARE(listener.m_relays.first()->bytesFromClient(), qint64(0));
    }

    void stopsFromTheGuiThread_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("stop while relaying") << "stop";
        QTest::newRow("delete while relaying") << "delete";
        QTest::newRow("stop right after start") << "early";
        QTest::newRow("end before start") << "before";
        QTest::newRow("delete never started") << "unstarted";
    }

    void stopsFromTheGuiThread()
    {
        QFETCH(QString, how);
        Rig rig;
        if (how == "early" || how == "before") {
            QVERIFY(rig.intake.listen(QHostAddress::LocalHost, 0));
            rig.listener =
                std::make_unique<RelayListener>(rig.intake.serverPort(), kLongWatchdogMs);
            rig.listener->m_stopAfterStart = how == "early";
            rig.listener->m_endBeforeStart = how == "before";
            QVERIFY(rig.listener->listen(QHostAddress::LocalHost, 0));
            rig.camera.connectToHost(QHostAddress::LocalHost, rig.listener->serverPort());
            QVERIFY(rig.camera.waitForConnected(kWaitMs));
            QTRY_COMPARE_WITH_TIMEOUT(rig.listener->m_relays.size(), 1, kWaitMs);
            RtmpRelay *relay = rig.listener->m_relays.first();
            if (how == "early")
                QVERIFY(rig.listener->m_stoppedInTime);
            QVERIFY(relay->wait(kWaitMs));
            QVERIFY(relay->isFinished());
            // The first reason given is kept.
            QCOMPARE(relay->endReason(), how == "early" ? RelayEnd::Stopped : RelayEnd::Refused);
            QTRY_COMPARE_WITH_TIMEOUT(rig.camera.state(), QAbstractSocket::UnconnectedState,
                                      kWaitMs);
            QCOMPARE(relay->bytesFromClient(), qint64(0));
            return;
        }
        if (how == "unstarted") {
            // The descriptor handed over is closed with the relay, even one that never ran.
            QTcpServer front;
            QVERIFY(front.listen(QHostAddress::LocalHost, 0));
            rig.camera.connectToHost(QHostAddress::LocalHost, front.serverPort());
            QVERIFY(rig.camera.waitForConnected(kWaitMs));
            QTRY_VERIFY_WITH_TIMEOUT(front.hasPendingConnections(), kWaitMs);
            QTcpSocket *accepted = front.nextPendingConnection();
            // Only the relay's copy keeps the connection open.
            const int descriptor = ::fcntl(int(accepted->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
            QVERIFY(descriptor >= 0);
            delete accepted;
            {
                RtmpRelay relay(descriptor, 1);
                QVERIFY(!relay.isRunning());
                QVERIFY(!relay.isFinished());
            }
            QTRY_COMPARE_WITH_TIMEOUT(rig.camera.state(), QAbstractSocket::UnconnectedState,
                                      kWaitMs);
            return;
        }

        openRelaying(rig, kLongWatchdogMs);
        if (QTest::currentTestFailed())
            return;
        rig.camera.write(randomBytes(100000, 6));
        rig.managerSide->write(randomBytes(100000, 7));
        QElapsedTimer stopping;
        stopping.start();
        if (how == "stop") {
            QSignalSpy finished(rig.relay, &Relay::finished);
            QVERIFY(rig.relay->stop());
            QVERIFY(rig.relay->isFinished());
            QVERIFY(rig.relay->stop()); // again: harmless
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, kWaitMs);
            QCOMPARE(rig.relay->endReason(), RelayEnd::Stopped);
            delete rig.relay; // safe once finished, also with finished() delivered
        } else {
            delete rig.relay; // the destructor stops the relay first
        }
        QVERIFY(stopping.elapsed() < qint64(RtmpRelay::kStopWaitMs));
        QVERIFY(rig.listener->m_relays.first().isNull());
        QTRY_COMPARE_WITH_TIMEOUT(rig.camera.state(), QAbstractSocket::UnconnectedState, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(rig.managerSide->state(), QAbstractSocket::UnconnectedState,
                                  kWaitMs);
    }
};

QTEST_GUILESS_MAIN(RtmpRelayTest)
#include "tst_rtmprelay.moc"
