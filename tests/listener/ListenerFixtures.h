#pragma once

#include "engine/OutputSwitch.h"
#include "ingest/Server.h"
#include "output/OutputRouter.h"
#include "support/FreePort.h"
#include "support/RecordingOutput.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWidget>
#include <QtTest>

#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// Shared by the listener tests: a window standing in for the main window, raw camera sockets
// and process figures.
namespace listener {

const int kFirstPort = Server::portBase() + 1;
// Managers start, listen and announce themselves; under sanitizers this takes a while.
constexpr int kReadyTimeoutMs = 20000;
constexpr int kSocketTimeoutMs = 10000;
// RTMP handshake: C0 + C1 from the camera, S0 + S1 + S2 from the intake.
constexpr int kHandshakeOutBytes = 1 + 1536;
constexpr int kHandshakeInBytes = 1 + 2 * 1536;

inline QByteArray overloadBytes()
{
    return QByteArray("Server is overloaded, try again later...\r\n");
}

// Stands in for the main window: records the state texts and refusals the listener reports.
class TestWindow : public QWidget
{
public:
    void attach(Server &server)
    {
        QObject::connect(&server, &Server::streamStateChanged, this,
                         [this](const QString &text) { states.append(text); });
        QObject::connect(&server, &Server::publisherRefused, this,
                         [this](const QString &peer) { refused.append(peer); });
        QObject::connect(&server, &Server::publisherAccepted, this,
                         [this](const QString &peer) { accepted.append(peer); });
        QObject::connect(&server, &Server::srtCallerRefused, this,
                         [this](const QString &peer) { srtRefused.append(peer); });
    }

    QStringList states;
    QStringList refused;
    QStringList accepted;
    QStringList srtRefused;
};

// Holds the output switch, so that it is made before the listener and outlives it.
struct OutputSwitchHolder
{
    explicit OutputSwitchHolder(OutputSink *sink) : outputSwitch(sink) {}
    OutputSwitch outputSwitch;
};

// A listener put together as the program does: its streams deliver to `sink` (may be null)
// through an output switch, and `window` hears what it reports.
class TestServer : private OutputSwitchHolder, public Server
{
public:
    TestServer(OutputSink *sink, TestWindow *window)
        : OutputSwitchHolder(sink), Server(outputSwitch, window)
    {
        if (window)
            window->attach(*this);
    }
    OutputSwitch &output() { return outputSwitch; }
};

// The listener as users meet it: a webcam whose frames are recorded, the window, the listener
// on a free loopback port with the stream key `key` (empty: none).
struct WebcamRig
{
    explicit WebcamRig(const QByteArray &key = QByteArray())
        : cam(QStringLiteral("Quorvix")), server(&cam, &window)
    {
        output.setCopyPictures(false);
        IngestSettings settings;
        settings.streamKey = key;
        server.setSettings(settings);
    }
    // Listens and waits until the ten intakes are ready.
    bool start()
    {
        port = FreePort::loopback();
        return server.startListening(QHostAddress::LocalHost, port) &&
               QTest::qWaitFor([this] { return server.freeManagerPorts().size() == 10; },
                               kReadyTimeoutMs);
    }
    // Stops and waits until every intake is gone.
    bool stop()
    {
        server.stopListening();
        return QTest::qWaitFor([this] { return server.managerCount() == 0; }, kReadyTimeoutMs);
    }

    RecordingOutput output; // before the OutputRouter: it installs the recording backends
    OutputRouter cam;
    TestWindow window;
    TestServer server;
    quint16 port = 0;
};

// A camera that connects, sends `first` (by default the RTMP version byte that starts every
// camera's handshake, without which the listener hands it no intake) and then does what the
// test says, from the test's thread. The connection is made with a blocking wait, which runs
// no event loop: the listener only sees it later.
inline std::unique_ptr<QTcpSocket> connectCamera(quint16 port,
                                                 const QByteArray &first = QByteArray(1, '\x03'))
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    if (!socket->waitForConnected(kSocketTimeoutMs))
        return nullptr;
    if (!first.isEmpty() &&
        (socket->write(first) != first.size() || !socket->waitForBytesWritten(kSocketTimeoutMs)))
        return nullptr;
    return socket;
}

// A camera that connects (sending `first`, if any) and at once resets the connection (RST,
// not FIN), before the listener has even accepted it.
inline bool connectAndReset(quint16 port, const QByteArray &first = QByteArray())
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const linger reset{1, 0};
    const bool ok =
        ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0 &&
        (first.isEmpty() ||
         ::send(fd, first.constData(), size_t(first.size()), 0) == first.size()) &&
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset)) == 0;
    ::close(fd);
    return ok;
}

// The first part of an RTMP handshake (version 3, then 1536 bytes of time, zero and filler).
inline QByteArray handshakeC0C1()
{
    QByteArray bytes(kHandshakeOutBytes, '\0');
    bytes[0] = 3;
    for (int i = 9; i < bytes.size(); ++i)
        bytes[i] = char((i * 131) & 0xff);
    return bytes;
}

// The rest of the handshake's first part, for a camera whose version byte connectCamera sent.
inline QByteArray handshakeC1()
{
    return handshakeC0C1().mid(1);
}

// Reads until the peer closes (or the time is up), running the event loop, and returns what
// came.
inline QByteArray readUntilClosed(QTcpSocket &socket, int timeoutMs = kSocketTimeoutMs)
{
    QByteArray got;
    QElapsedTimer timer;
    timer.start();
    while (socket.state() != QAbstractSocket::UnconnectedState && timer.elapsed() < timeoutMs) {
        // The listener answers from this thread's event loop.
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        socket.waitForReadyRead(20);
        got += socket.readAll();
    }
    got += socket.readAll();
    return got;
}

// Runs the event loop until the socket has at least `count` bytes to read.
inline bool waitForBytes(QTcpSocket &socket, qint64 count, int timeoutMs = kSocketTimeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (socket.bytesAvailable() < count && timer.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        socket.waitForReadyRead(20);
    }
    return socket.bytesAvailable() >= count;
}

// Threads of this process, from /proc/self/status.
inline int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task"))
                   .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                   .size());
}

// A field of /proc/self/status in its own unit (kB for VmRSS).
inline qint64 statusField(const char *name)
{
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(name) + ':';
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).simplified().split(' ').value(0).toLongLong();
    }
    return -1;
}

inline QList<int> portRange(int first, int count)
{
    QList<int> ports;
    for (int i = 0; i < count; ++i)
        ports.append(first + i);
    return ports;
}

inline QList<int> sorted(QList<int> ports)
{
    std::sort(ports.begin(), ports.end());
    return ports;
}

} // namespace listener
