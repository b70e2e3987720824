// Connection relay on loopback: how fast it copies camera -> intake, and what CPU it costs per
// 10 Mbit/s of camera stream. The camera and the intake are plain blocking sockets on their own
// threads (the sink reads as fast as it can); the relay is a real RtmpRelay started by a
// QTcpServer exactly as the listener starts it. The baseline is the same transfer straight from
// camera to sink, without the relay, in the same run.
//
// Usage: bench_relay [megabytes for the throughput runs, default 512] [seconds per paced run, 5]

#include "ingest/RtmpRelay.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTcpServer>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kSinkReadBytes = 1024 * 1024;
constexpr size_t kCameraChunkBytes = 64 * 1024;
constexpr int kFramesPerSecond = 30; // a camera sends one burst per video frame

double threadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// CPU time of the first thread of this process named `name` (schedstat: nanoseconds on CPU).
double namedThreadCpuSeconds(const QByteArray &name)
{
    const QStringList tasks =
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(task));
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != name)
            continue;
        QFile schedstat(QStringLiteral("/proc/self/task/%1/schedstat").arg(task));
        if (!schedstat.open(QIODevice::ReadOnly))
            return -1;
        return schedstat.readAll().split(' ').value(0).toDouble() / 1e9;
    }
    return -1;
}

int listenLoopback(quint16 &port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
        ::listen(fd, 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        std::perror("bench_relay: listen");
        std::exit(1);
    }
    port = ntohs(address.sin_port);
    return fd;
}

int connectLoopback(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        std::perror("bench_relay: connect");
        std::exit(1);
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return fd;
}

bool sendAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        size -= size_t(sent);
    }
    return true;
}

// The intake: accepts one connection and reads until it has `expected` bytes or EOF.
struct Sink
{
    quint16 port = 0;
    std::atomic<qint64> received{0};
    std::atomic<bool> done{false};
    double cpuSeconds = 0;
    std::thread thread;

    void start(qint64 expected)
    {
        const int listener = listenLoopback(port);
        thread = std::thread([this, listener, expected] {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            ::close(listener);
            const double cpuStart = threadCpuSeconds();
            std::vector<char> buffer(kSinkReadBytes);
            while (fd >= 0 && received.load() < expected) {
                const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
                if (got < 0 && errno == EINTR)
                    continue;
                if (got <= 0)
                    break;
                received.fetch_add(got);
            }
            cpuSeconds = threadCpuSeconds() - cpuStart;
            done = true;
            // Held open until the camera is done, so the relay's end is the camera's doing.
            char byte;
            while (fd >= 0 && ::recv(fd, &byte, 1, 0) > 0) {
            }
            if (fd >= 0)
                ::close(fd);
        });
    }
};

// The user's port: starts one relay per connection, as the listener does.
class BenchListener : public QTcpServer
{
public:
    explicit BenchListener(int intakePort) : m_intakePort(intakePort) {}

protected:
    void incomingConnection(qintptr socketDescriptor) override
    {
        // Owned by the listener, which ends and deletes it at the end of the transfer.
        m_relays.push_back(std::make_unique<RtmpRelay>(socketDescriptor, m_intakePort));
        m_relays.back()->start();
    }

private:
    const int m_intakePort;
    std::vector<std::unique_ptr<RtmpRelay>> m_relays;
};

// Runs `work` on a thread while the GUI thread's event loop keeps serving the listener.
void runWithEventLoop(const std::function<void()> &work)
{
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        work();
        finished = true;
    });
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (finished)
            loop.quit();
    });
    poll.start(5);
    loop.exec();
    worker.join();
    QCoreApplication::processEvents();
}

struct Transfer
{
    double seconds = 0;
    double relayCpuSeconds = -1;
    double sinkCpuSeconds = 0;
};

// Sends `bytes` as fast as possible (rateMbps 0) or paced in per-frame bursts, camera -> sink,
// through the relay when `viaRelay`.
Transfer transfer(qint64 bytes, double rateMbps, bool viaRelay)
{
    Sink sink;
    sink.start(bytes);
    std::unique_ptr<BenchListener> listener;
    quint16 cameraPort = sink.port;
    if (viaRelay) {
        listener = std::make_unique<BenchListener>(sink.port);
        if (!listener->listen(QHostAddress::LocalHost, 0)) {
            std::fprintf(stderr, "bench_relay: listener: %s\n",
                         qPrintable(listener->errorString()));
            std::exit(1);
        }
        cameraPort = listener->serverPort();
    }

    Transfer result;
    runWithEventLoop([&] {
        std::vector<char> chunk(kCameraChunkBytes);
        for (size_t i = 0; i < chunk.size(); ++i)
            chunk[i] = char(i * 131 + 7);
        const int fd = connectLoopback(cameraPort);
        double relayCpuStart = -1;
        const auto start = Clock::now();
        qint64 sent = 0;
        if (rateMbps <= 0) {
            while (sent < bytes) {
                const size_t n = size_t(std::min<qint64>(bytes - sent, qint64(chunk.size())));
                if (!sendAll(fd, chunk.data(), n))
                    break;
                sent += qint64(n);
                if (viaRelay && relayCpuStart < 0)
                    relayCpuStart = namedThreadCpuSeconds("ProxyThread");
            }
        } else {
            const qint64 frameBytes = qint64(rateMbps * 1e6 / 8 / kFramesPerSecond);
            const auto frame = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(1.0 / kFramesPerSecond));
            for (int index = 0; sent < bytes; ++index) {
                std::this_thread::sleep_until(start + index * frame);
                qint64 left = std::min(frameBytes, bytes - sent);
                while (left > 0) {
                    const size_t n = size_t(std::min<qint64>(left, qint64(chunk.size())));
                    if (!sendAll(fd, chunk.data(), n))
                        break;
                    left -= qint64(n);
                    sent += qint64(n);
                }
                if (viaRelay && relayCpuStart < 0)
                    relayCpuStart = namedThreadCpuSeconds("ProxyThread");
            }
        }
        while (!sink.done)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (viaRelay)
            result.relayCpuSeconds = namedThreadCpuSeconds("ProxyThread") - relayCpuStart;
        ::close(fd);
    });
    sink.thread.join();
    result.sinkCpuSeconds = sink.cpuSeconds;
    if (sink.received.load() < bytes) {
        std::fprintf(stderr, "bench_relay: sink got %lld of %lld bytes\n",
                     static_cast<long long>(sink.received.load()), static_cast<long long>(bytes));
        std::exit(1);
    }
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // The relay's own log lines would dominate the output.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    const qint64 megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 512;
    const double pacedSeconds = argc > 2 ? QByteArray(argv[2]).toDouble() : 5.0;
    const qint64 bytes = megabytes * 1024 * 1024;

    std::printf("relay benchmark: %lld MB camera -> intake on 127.0.0.1, %d cores\n",
                static_cast<long long>(megabytes), int(std::thread::hardware_concurrency()));
    transfer(16 * 1024 * 1024, 0, true); // warm-up

    const Transfer direct = transfer(bytes, 0, false);
    const Transfer relayed = transfer(bytes, 0, true);
    const double directMBps = double(bytes) / 1048576.0 / direct.seconds;
    const double relayMBps = double(bytes) / 1048576.0 / relayed.seconds;
    std::printf("throughput  direct (baseline) %8.1f MB/s\n", directMBps);
    std::printf("throughput  through relay     %8.1f MB/s  (%.2f of baseline)\n", relayMBps,
                relayMBps / directMBps);
    std::printf("relay CPU at full speed       %8.3f CPU-s per GB (sink's plain read loop: %.3f)\n",
                relayed.relayCpuSeconds / (double(bytes) / 1073741824.0),
                relayed.sinkCpuSeconds / (double(bytes) / 1073741824.0));

    for (const double rate : {10.0, 20.0, 50.0}) {
        const qint64 pacedBytes = qint64(rate * 1e6 / 8 * pacedSeconds);
        const Transfer paced = transfer(pacedBytes, rate, true);
        const double corePercent = 100.0 * paced.relayCpuSeconds / paced.seconds;
        const double sinkPercent = 100.0 * paced.sinkCpuSeconds / paced.seconds;
        std::printf("paced %4.0f Mbit/s (%d bursts/s, %.1f s): relay %.3f%% of a core = %.3f%% "
                    "per 10 Mbit/s (sink's read loop %.3f%%, ratio %.2f)\n",
                    rate, kFramesPerSecond, paced.seconds, corePercent, corePercent * 10.0 / rate,
                    sinkPercent, sinkPercent > 0 ? corePercent / sinkPercent : 0.0);
    }
    return 0;
}
