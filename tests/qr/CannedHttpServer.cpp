#include "CannedHttpServer.h"

#include <QHostAddress>
#include <QTcpSocket>

CannedHttpServer::CannedHttpServer(QObject *parent) : QTcpServer(parent)
{
    connect(this, &QTcpServer::newConnection, this, &CannedHttpServer::onNewConnection);
}

bool CannedHttpServer::start()
{
    return listen(QHostAddress::LocalHost, 0);
}

QString CannedHttpServer::urlFor(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort()).arg(path);
}

void CannedHttpServer::setResponse(const QString &path, const QByteArray &rawResponse)
{
    m_responses.insert(path, rawResponse);
}

QByteArray CannedHttpServer::response(int status, const QByteArray &reason, const QByteArray &body,
                                      const QByteArray &extraHeaders)
{
    QByteArray out = "HTTP/1.0 " + QByteArray::number(status) + ' ' + reason + "\r\n";
    out += "Content-Type: application/json\r\n";
    out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    out += extraHeaders;
    out += "Connection: close\r\n\r\n";
    out += body;
    return out;
}

void CannedHttpServer::setEndless(const QString &path, const QByteArray &head, qint64 capBytes)
{
    m_endlessPath = path;
    m_endlessHead = head;
    m_endlessCap = capBytes;
}

void CannedHttpServer::feedEndless(QTcpSocket *socket)
{
    // Keep only a little queued so the count says what the client actually took.
    if (socket->state() != QAbstractSocket::ConnectedState || socket->bytesToWrite() > 0)
        return;
    if (m_endlessSent >= m_endlessCap) {
        socket->disconnectFromHost();
        return;
    }
    const QByteArray chunk(16 * 1024, ' ');
    socket->write(chunk);
    m_endlessSent += chunk.size();
}

void CannedHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket]() {
            const QByteArray head = socket->peek(kMaxRequestBytes + 1);
            const int end = head.indexOf("\r\n\r\n");
            if (end < 0) {
                if (head.size() > kMaxRequestBytes)
                    socket->abort();
                return;
            }
            socket->read(end + 4);
            // "GET /path HTTP/1.1"
            const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
            const QString path = QString::fromLatin1(requestLine.value(1));
            if (path == m_endlessPath) {
                m_served.append(path);
                emit served(path);
                socket->write("HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n\r\n" +
                              m_endlessHead);
                connect(socket, &QTcpSocket::bytesWritten, this,
                        [this, socket]() { feedEndless(socket); });
                return;
            }
            const QByteArray answer = m_responses.value(
                path,
                response(404, "Not Found", QByteArrayLiteral("{\"error\":\"no such file\"}")));
            socket->write(answer);
            socket->disconnectFromHost();
            m_served.append(path);
            emit served(path);
        });
    }
}
