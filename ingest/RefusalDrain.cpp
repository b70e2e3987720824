#include "ingest/RefusalDrain.h"

#include "ingest/IngestLog.h"

#include <QTcpSocket>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <memory>

#include <sys/socket.h>
#include <unistd.h>

void RefusalDrain::refuse(qintptr descriptor)
{
    qCInfo(lcIngest) << "no free workers, close incomming connection";
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor, QAbstractSocket::ConnectedState,
                                     QIODevice::ReadWrite)) {
        qCWarning(lcIngest).noquote()
            << "Server: ERROR setSocketDescriptor" << socket->errorString();
        delete socket;
        // Not attached, so still ours to close.
        if (::close(int(descriptor)) != 0)
            qCWarning(lcIngest) << "Server: ERROR close" << descriptor << std::strerror(errno);
        return;
    }
    socket->write(kOverloadText);
    socket->write("\r\n");
    socket->flush();
    if (m_draining >= kMaxDraining) {
        socket->close();
        socket->deleteLater();
        return;
    }
    ++m_draining;
    const int fd = int(descriptor);
    auto shutWrite = [socket, fd] {
        if (socket->bytesToWrite() == 0 && ::shutdown(fd, SHUT_WR) != 0 && errno != ENOTCONN)
            qCInfo(lcIngest) << "Server: shutdown of a refused socket failed:"
                             << std::strerror(errno);
    };
    if (socket->bytesToWrite() == 0)
        shutWrite();
    else
        connect(socket, &QTcpSocket::bytesWritten, socket, shutWrite);
    connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    auto done = std::make_shared<bool>(false);
    auto finish = [this, socket, done] {
        if (*done)
            return;
        *done = true;
        --m_draining;
        socket->abort();
        socket->deleteLater();
    };
    connect(socket, &QTcpSocket::disconnected, socket, finish);
    connect(socket, &QTcpSocket::errorOccurred, socket, finish);
    QTimer::singleShot(kDrainMs, socket, finish);
}
