#include "ingest/SrtRelay.h"

#include "ingest/IngestLog.h"
#include "ingest/LoopbackOwner.h"

#include <QElapsedTimer>
#include <QThread>

#include <srt/srt.h>

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// One SRT live-mode message holds at most this much (7 TS packets of 188 bytes by default;
// 1456 is libsrt's largest payload).
constexpr int kMessageBytes = 1500;

QString srtError()
{
    return QString::fromLocal8Bit(srt_getlasterror_str());
}

} // namespace

SrtRelay::SrtRelay(int socket, const QString &peer, int port)
    : Relay(peer, port, QStringLiteral("SrtRelay")), m_socket(socket)
{
}

SrtRelay::~SrtRelay()
{
    halt();
    if (!m_socketClosed)
        srt_close(m_socket);
}

SrtRelay::LinkStats SrtRelay::linkStats() const
{
    LinkStats stats;
    stats.rttMs = double(m_rttUs.load(std::memory_order_relaxed)) / 1000.0;
    stats.lost = m_lost.load(std::memory_order_relaxed);
    stats.retransmitted = m_retransmitted.load(std::memory_order_relaxed);
    stats.dropped = m_dropped.load(std::memory_order_relaxed);
    return stats;
}

int SrtRelay::connectIntake()
{
    QElapsedTimer waited;
    waited.start();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // The intake is offered to callers just before FFmpeg binds its port: a refused
    // connection is tried again for a while.
    while (!endRequested() && waited.elapsed() < kConnectTimeoutMs) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            qCWarning(lcRelay) << "SrtRelay: socket failed:" << std::strerror(errno);
            return -1;
        }
        const int one = 1;
        if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0)
            qCInfo(lcRelay) << "SrtRelay: TCP_NODELAY failed:" << std::strerror(errno);
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
            sockaddr_in local{};
            socklen_t size = sizeof local;
            QString problem;
            if (::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &size) == 0 &&
                LoopbackOwner::connectionOwner(port(), ntohs(local.sin_port), &problem) ==
                    LoopbackOwner::Owner::Ours)
                return fd;
            qCWarning(lcRelay).noquote() << "SrtRelay: intake not ours, caller dropped:" << problem;
            ::close(fd);
            return -1;
        }
        const int error = errno;
        ::close(fd);
        if (error != ECONNREFUSED) {
            qCWarning(lcRelay) << "SrtRelay: connect to intake" << port()
                               << "failed:" << std::strerror(error);
            return -1;
        }
        QThread::msleep(20);
    }
    qCWarning(lcRelay) << "SrtRelay: intake" << port() << "not reachable";
    return -1;
}

bool SrtRelay::writeAll(int fd, const char *data, int size)
{
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            data += sent;
            size -= int(sent);
            continue;
        }
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        // The intake is behind: wait for room, and let a stop through.
        if (endRequested())
            return false;
        pollfd entry{fd, POLLOUT, 0};
        if (::poll(&entry, 1, kPollMs) < 0 && errno != EINTR)
            return false;
    }
    return true;
}

bool SrtRelay::intakeAlive(int fd)
{
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, 0) <= 0)
        return true;
    if (entry.revents & (POLLERR | POLLHUP))
        return false;
    // A TS intake never answers; a read of 0 is its close.
    char sink[256];
    const ssize_t got = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
    return got > 0 || (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
}

void SrtRelay::sampleStats()
{
    SRT_TRACEBSTATS perf{};
    if (srt_bstats(m_socket, &perf, 0) == SRT_ERROR)
        return;
    m_rttUs.store(qint64(perf.msRTT * 1000.0), std::memory_order_relaxed);
    m_lost.store(perf.pktRcvLossTotal, std::memory_order_relaxed);
    // The interval counter, never cleared here, counts since the connection began.
    m_retransmitted.store(perf.pktRcvRetrans, std::memory_order_relaxed);
    m_dropped.store(perf.pktRcvDropTotal, std::memory_order_relaxed);
}

void SrtRelay::run()
{
    m_bytes = 0;
    // Reads are non-blocking (as accepted) and waited for with epoll, which ends after kPollMs
    // so a stop is seen; a read timeout instead would have libsrt log a warning each time.
    const int epoll = srt_epoll_create();
    const int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
    if (epoll < 0 || srt_epoll_add_usock(epoll, m_socket, &events) == SRT_ERROR) {
        qCWarning(lcRelay).noquote() << "SrtRelay: epoll failed:" << srtError();
        if (epoll >= 0)
            srt_epoll_release(epoll);
        srt_close(m_socket);
        m_socketClosed = true;
        close(RelayEnd::None);
        return;
    }
    const int fd = connectIntake();
    if (fd < 0) {
        srt_epoll_release(epoll);
        srt_close(m_socket);
        m_socketClosed = true;
        close(RelayEnd::IntakeGone);
        return;
    }
    qCInfo(lcRelay).noquote()
        << QStringLiteral("SrtRelay RUN %1 from %2").arg(port()).arg(peerAddress());
    char buffer[kMessageBytes];
    QElapsedTimer sinceData;
    sinceData.start();
    RelayEnd reason = RelayEnd::None;
    QElapsedTimer sinceStats;
    sinceStats.start();
    QString ending;
    while (ending.isEmpty()) {
        if (endRequested()) {
            ending = QStringLiteral("stopped");
            reason = RelayEnd::Stopped;
            break;
        }
        SRT_EPOLL_EVENT ready[1];
        if (srt_epoll_uwait(epoll, ready, 1, kPollMs) > 0) {
            // Everything that is due now, one message at a time.
            for (;;) {
                const int got = srt_recvmsg(m_socket, buffer, sizeof buffer);
                if (got > 0) {
                    sinceData.restart();
                    m_bytes.fetch_add(got, std::memory_order_relaxed);
                    if (!writeAll(fd, buffer, got)) {
                        const bool stopped = endRequested();
                        ending =
                            stopped ? QStringLiteral("stopped") : QStringLiteral("intake gone");
                        reason = stopped ? RelayEnd::Stopped : RelayEnd::IntakeGone;
                        break;
                    }
                    continue;
                }
                if (got == SRT_ERROR && srt_getlasterror(nullptr) != SRT_EASYNCRCV) {
                    ending = QStringLiteral("caller gone (%1)").arg(srtError());
                    reason = RelayEnd::CameraLeft;
                }
                break;
            }
        }
        if (ending.isEmpty() && srt_getsockstate(m_socket) > SRTS_CONNECTED) {
            ending = QStringLiteral("caller gone");
            reason = RelayEnd::CameraLeft;
        }
        if (sinceStats.elapsed() >= kStatsIntervalMs) {
            sinceStats.restart();
            sampleStats();
            if (!intakeAlive(fd)) {
                ending = QStringLiteral("intake gone");
                reason = RelayEnd::IntakeGone;
            }
        }
        if (ending.isEmpty() && sinceData.elapsed() >= m_noDataTimeoutMs) {
            ending = QStringLiteral("no data from caller for %1 ms").arg(sinceData.elapsed());
            reason = RelayEnd::Silent;
        }
    }
    keepEndReason(reason);
    sampleStats();
    qCInfo(lcRelay).noquote() << QStringLiteral("SrtRelay finished %1: %2 from %3 (%4)")
                                     .arg(port())
                                     .arg(relayEndText(endReason()), peerAddress(), ending);
    srt_epoll_release(epoll);
    ::close(fd);
    srt_close(m_socket);
    m_socketClosed = true;
    close(reason);
}
