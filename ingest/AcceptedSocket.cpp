#include "ingest/AcceptedSocket.h"

#include "ingest/IngestLog.h"

#include <QHostAddress>

#include <cerrno>
#include <cstring>
#include <limits>

#include <sys/socket.h>
#include <unistd.h>

namespace AcceptedSocket {

QString peerOf(qintptr descriptor)
{
    sockaddr_storage address{};
    socklen_t size = sizeof(address);
    if (descriptor < 0 || descriptor > std::numeric_limits<int>::max() ||
        ::getpeername(static_cast<int>(descriptor), reinterpret_cast<sockaddr *>(&address),
                      &size) != 0)
        return QString();
    const QHostAddress host(reinterpret_cast<const sockaddr *>(&address));
    bool v4 = false;
    const quint32 ipv4 = host.toIPv4Address(&v4);
    return v4 ? QHostAddress(ipv4).toString() : host.toString();
}

State check(qintptr descriptor, QString &problem)
{
    if (descriptor < 0 || descriptor > std::numeric_limits<int>::max()) {
        problem = QStringLiteral("no descriptor");
        return State::NotOpen;
    }
    const int fd = static_cast<int>(descriptor);
    int type = 0;
    socklen_t typeSize = sizeof(type);
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeSize) != 0) {
        const int error = errno;
        problem = QString::fromLocal8Bit(std::strerror(error));
        return error == EBADF ? State::NotOpen : State::Unusable;
    }
    sockaddr_storage address{};
    socklen_t addressSize = sizeof(address);
    if (type != SOCK_STREAM ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &addressSize) != 0 ||
        (address.ss_family != AF_INET && address.ss_family != AF_INET6)) {
        problem = QStringLiteral("not a TCP socket");
        return State::Unusable;
    }
    addressSize = sizeof(address);
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&address), &addressSize) != 0) {
        // Listening, never connected, or already reset by the camera.
        problem = QString::fromLocal8Bit(std::strerror(errno));
        return State::Unusable;
    }
    return State::Usable;
}

void close(qintptr descriptor)
{
    // No retry on EINTR: on Linux the descriptor is released even then.
    if (::close(static_cast<int>(descriptor)) != 0)
        qCWarning(lcIngest) << "ProxyThread: ERROR close" << descriptor << std::strerror(errno);
}

} // namespace AcceptedSocket
