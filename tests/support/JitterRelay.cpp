#include "support/JitterRelay.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void noDelay(int fd)
{
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Writes all of it (blocking socket); false when the peer is gone.
bool writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

} // namespace

JitterRelay::JitterRelay(const Options &options) : m_options(options), m_state(options.seed) {}

JitterRelay::~JitterRelay()
{
    stop();
}

uint32_t JitterRelay::next()
{
    m_state = m_state * 1664525u + 1013904223u;
    return m_state >> 8;
}

bool JitterRelay::start(quint16 targetPort)
{
    m_target = targetPort;
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listener < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 4) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) != 0 ||
        ::pipe2(m_wake, O_CLOEXEC) != 0) {
        ::close(m_listener);
        m_listener = -1;
        return false;
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { run(); });
    return true;
}

void JitterRelay::stop()
{
    if (m_thread.joinable()) {
        m_stop = true;
        const char byte = 1;
        if (::write(m_wake[1], &byte, 1) < 0) {
            // The thread also sees m_stop within its poll timeout.
        }
        m_thread.join();
    }
    for (int *fd : {&m_listener, &m_wake[0], &m_wake[1]}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

void JitterRelay::run()
{
    while (!m_stop) {
        pollfd fds[2] = {{m_listener, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(fds, 2, 200) <= 0 || !(fds[0].revents & POLLIN))
            continue;
        const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(m_target);
        if (server >= 0 &&
            ::connect(server, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
            noDelay(client);
            noDelay(server);
            relay(client, server);
        }
        if (server >= 0)
            ::close(server);
        ::close(client);
    }
}

bool JitterRelay::relay(int client, int server)
{
    const int64_t connected = nowMs();
    int64_t holdFrom = -1;
    int64_t holdUntil = -1;
    auto planHold = [&](int64_t after) {
        if (m_options.meanGapMs <= 0)
            return;
        holdFrom = after + int64_t(next() % uint32_t(2 * m_options.meanGapMs + 1));
        const int length =
            std::min(m_options.maxHoldMs, 1 + int(next() % uint32_t(2 * m_options.meanHoldMs)));
        holdUntil = holdFrom + length;
    };
    planHold(connected);
    bool stallDone = m_options.stallAtMs < 0;
    std::vector<char> pending; // towards the server, held
    std::vector<char> buffer(64 * 1024);
    bool clientOpen = true;
    while (!m_stop) {
        const int64_t now = nowMs();
        int64_t releaseAt = -1;
        bool holding = false;
        if (!stallDone && now >= connected + m_options.stallAtMs) {
            if (now < connected + m_options.stallAtMs + m_options.stallMs) {
                holding = true;
                releaseAt = connected + m_options.stallAtMs + m_options.stallMs;
            } else {
                stallDone = true;
                m_holds.fetch_add(1);
                m_longestHoldMs = std::max(m_longestHoldMs.load(), m_options.stallMs);
            }
        }
        if (!holding && holdFrom >= 0 && now >= holdFrom) {
            if (now < holdUntil) {
                holding = true;
                releaseAt = holdUntil;
            } else {
                m_holds.fetch_add(1);
                m_longestHoldMs = std::max(m_longestHoldMs.load(), int(holdUntil - holdFrom));
                planHold(holdUntil);
            }
        }
        if (!holding && !pending.empty()) {
            if (!writeAll(server, pending.data(), pending.size()))
                return false;
            m_bytes.fetch_add(qint64(pending.size()));
            pending.clear();
        }
        if (!clientOpen && pending.empty())
            return true;
        // Held bytes are bounded: beyond 8 MB the publisher is not read (TCP pushes back).
        const bool readClient = clientOpen && pending.size() < 8 * 1024 * 1024;
        pollfd fds[3] = {
            {readClient ? client : -1, POLLIN, 0}, {server, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        int timeout = 100;
        if (holding)
            timeout = int(std::max<int64_t>(1, releaseAt - now));
        else if (holdFrom >= 0)
            timeout = int(std::clamp<int64_t>(holdFrom - now, 1, 100));
        if (::poll(fds, 3, timeout) < 0 && errno != EINTR)
            return false;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(client, buffer.data(), buffer.size(), 0);
            if (n <= 0) {
                clientOpen = false;
                ::shutdown(server, SHUT_WR);
            } else {
                pending.insert(pending.end(), buffer.data(), buffer.data() + n);
            }
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(server, buffer.data(), buffer.size(), 0);
            if (n <= 0 || !writeAll(client, buffer.data(), size_t(n)))
                return false;
        }
    }
    return true;
}
