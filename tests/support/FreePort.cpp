#include "support/FreePort.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QUdpSocket>
#include <QThread>

quint16 FreePort::loopback()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = server.serverPort();
    server.close();
    return port;
}

quint16 FreePort::udpLoopback()
{
    QUdpSocket socket;
    if (!socket.bind(QHostAddress(QHostAddress::LocalHost), quint16(0)))
        return 0;
    const quint16 port = socket.localPort();
    socket.close();
    return port;
}

bool FreePort::isUdpBound(quint16 port)
{
    // Lines look like "  0: 00000000:2328 00000000:0000 07 ..."; every line is a bound socket.
    const QByteArray wanted = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const char *path : {"/proc/net/udp", "/proc/net/udp6"}) {
        QFile file(QString::fromLatin1(path));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> lines = file.readAll().split('\n');
        for (int i = 1; i < lines.size(); ++i) {
            const QList<QByteArray> fields = lines.at(i).simplified().split(' ');
            if (fields.size() > 1 && fields.at(1).endsWith(wanted))
                return true;
        }
    }
    return false;
}

bool FreePort::isListening(quint16 port)
{
    // Lines look like "  0: 0100007F:EE2D 00000000:0000 0A ..."; state 0A is LISTEN.
    const QByteArray wanted = QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const char *path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(path));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> lines = file.readAll().split('\n');
        for (int i = 1; i < lines.size(); ++i) {
            const QList<QByteArray> fields = lines.at(i).simplified().split(' ');
            if (fields.size() < 4)
                continue;
            const QByteArray &local = fields.at(1);
            if (fields.at(3) == "0A" && local.endsWith(":" + wanted))
                return true;
        }
    }
    return false;
}

bool FreePort::waitUntilListening(quint16 port, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!isListening(port)) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
    return true;
}
