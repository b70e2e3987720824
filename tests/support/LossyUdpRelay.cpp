#include "support/LossyUdpRelay.h"

#include <QRandomGenerator>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kPollMs = 50;

int boundLoopbackSocket()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

LossyUdpRelay::LossyUdpRelay(quint16 targetPort, double lossShare, quint32 seed)
    : m_target(targetPort), m_loss(lossShare), m_seed(seed)
{
}

LossyUdpRelay::~LossyUdpRelay()
{
    stop();
}

quint16 LossyUdpRelay::start()
{
    stop();
    m_front = boundLoopbackSocket();
    m_back = boundLoopbackSocket();
    if (m_front < 0 || m_back < 0)
        return 0;
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (::getsockname(m_front, reinterpret_cast<sockaddr *>(&address), &size) != 0)
        return 0;
    m_stop = false;
    m_thread = std::thread([this] { run(); });
    return ntohs(address.sin_port);
}

void LossyUdpRelay::stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    for (int *fd : {&m_front, &m_back}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

void LossyUdpRelay::run()
{
    QRandomGenerator random(m_seed);
    sockaddr_in caller{};
    bool haveCaller = false;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(m_target);
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    char buffer[65536];
    while (!m_stop) {
        pollfd fds[2] = {{m_front, POLLIN, 0}, {m_back, POLLIN, 0}};
        if (::poll(fds, 2, kPollMs) <= 0)
            continue;
        for (int side = 0; side < 2; ++side) {
            if (!(fds[side].revents & POLLIN))
                continue;
            sockaddr_in from{};
            socklen_t size = sizeof from;
            const ssize_t got = ::recvfrom(fds[side].fd, buffer, sizeof buffer, MSG_DONTWAIT,
                                           reinterpret_cast<sockaddr *>(&from), &size);
            if (got < 0)
                continue;
            if (side == 0) {
                caller = from;
                haveCaller = true;
            }
            if (random.generateDouble() < m_loss) {
                ++m_dropped;
                continue;
            }
            ++m_passed;
            if (side == 0)
                ::sendto(m_back, buffer, size_t(got), 0,
                         reinterpret_cast<const sockaddr *>(&target), sizeof target);
            else if (haveCaller)
                ::sendto(m_front, buffer, size_t(got), 0,
                         reinterpret_cast<const sockaddr *>(&caller), sizeof caller);
        }
    }
}
