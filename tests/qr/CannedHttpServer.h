#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QTcpServer>

class QTcpSocket;

// A tiny HTTP/1.0 server on 127.0.0.1 for the update-check tests: each request path gets the
// raw response bytes registered for it (a 404 otherwise), then the connection is closed.
// GUI thread only.
class CannedHttpServer : public QTcpServer
{
    Q_OBJECT
public:
    explicit CannedHttpServer(QObject *parent = nullptr);

    // Listens on a free loopback port; false when that fails.
    bool start();
    QString urlFor(const QString &path) const;

    void setResponse(const QString &path, const QByteArray &rawResponse);
    // `path` answers 200 with no length and then keeps sending chunks of `filler` until the
    // client goes away or `capBytes` have been sent.
    void setEndless(const QString &path, const QByteArray &head, qint64 capBytes);
    qint64 endlessBytesSent() const { return m_endlessSent; }
    // "HTTP/1.0 <status>" with the given headers and body, Content-Length filled in.
    static QByteArray response(int status, const QByteArray &reason, const QByteArray &body,
                               const QByteArray &extraHeaders = QByteArray());

    // Paths of the requests answered so far, in order.
    QStringList servedPaths() const { return m_served; }

signals:
    void served(const QString &path);

private:
    void onNewConnection();

    // A request head larger than this is not what the checker sends; drop the connection.
    static constexpr int kMaxRequestBytes = 16 * 1024;

    void feedEndless(QTcpSocket *socket);

    QHash<QString, QByteArray> m_responses;
    QString m_endlessPath;
    QByteArray m_endlessHead;
    qint64 m_endlessCap = 0;
    qint64 m_endlessSent = 0;
    QStringList m_served;
};
