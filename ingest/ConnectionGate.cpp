#include "ingest/ConnectionGate.h"

#include "ingest/AcceptedSocket.h"
#include "ingest/IngestLog.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

ConnectionGate::ConnectionGate(QObject *parent) : QObject(parent)
{
    connect(&m_sweep, &QTimer::timeout, this, &ConnectionGate::closeTimedOut);
}

ConnectionGate::~ConnectionGate()
{
    clear();
}

void ConnectionGate::add(qintptr descriptor)
{
    if (int(m_pending.size()) >= kMaxPending)
        reject(m_pending.begin(), "too many connections waiting for their first byte");
    auto *notifier = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this,
            [this, descriptor] { onReadable(descriptor); });
    m_pending.push_back(Pending{descriptor, notifier, RateLimit::nowMs()});
    if (!m_sweep.isActive())
        m_sweep.start(qBound(10, m_timeoutMs / 4, 1000));
}

void ConnectionGate::clear()
{
    while (!m_pending.empty())
        reject(m_pending.begin(), nullptr);
    m_sweep.stop();
}

void ConnectionGate::setTimeoutMs_for_testing(int ms)
{
    m_timeoutMs = qMax(1, ms);
    if (m_sweep.isActive())
        m_sweep.start(qBound(10, m_timeoutMs / 4, 1000));
}

ConnectionGate::Iterator ConnectionGate::find(qintptr descriptor)
{
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        if (it->descriptor == descriptor)
            return it;
    }
    return m_pending.end();
}

void ConnectionGate::onReadable(qintptr descriptor)
{
    const auto it = find(descriptor);
    if (it == m_pending.end())
        return;
    unsigned char first = 0;
    // Peeked, not read: the byte goes on to the intake with the rest of the handshake.
    const ssize_t n = ::recv(int(descriptor), &first, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (n < 0) {
        reject(it, "connection failed before its first byte");
        return;
    }
    if (n == 0) {
        reject(it, nullptr); // the peer hung up without a word: nothing to tell
        return;
    }
    if (first != kRtmpVersion) {
        reject(it, "not an RTMP handshake", first);
        return;
    }
    forget(it);
    if (m_pending.empty())
        m_sweep.stop();
    emit rtmpConnection(descriptor);
}

void ConnectionGate::forget(Iterator it)
{
    it->notifier->setEnabled(false);
    it->notifier->deleteLater();
    m_pending.erase(it);
}

void ConnectionGate::closeTimedOut()
{
    const qint64 now = RateLimit::nowMs();
    while (!m_pending.empty() && now - m_pending.front().sinceMs >= m_timeoutMs)
        reject(m_pending.begin(), "nothing sent in time");
    if (m_pending.empty())
        m_sweep.stop();
}

void ConnectionGate::reject(Iterator it, const char *why, int firstByte)
{
    const qintptr descriptor = it->descriptor;
    if (why) {
        ++m_rejected;
        qint64 held = 0;
        if (m_rejectLog.allow(&held)) {
            QString line = QStringLiteral("Server: connection closed, %1: %2")
                               .arg(QLatin1String(why), AcceptedSocket::peerOf(descriptor));
            if (firstByte >= 0)
                line +=
                    QStringLiteral(" (first byte 0x%1)").arg(firstByte, 2, 16, QLatin1Char('0'));
            if (held > 0)
                line += QStringLiteral("; %1 more in the last second").arg(held);
            qCInfo(lcIngest).noquote() << line;
        }
    }
    forget(it);
    // No retry on EINTR: on Linux the descriptor is released even then.
    if (::close(int(descriptor)) != 0)
        qCWarning(lcIngest) << "Server: ERROR close" << descriptor << std::strerror(errno);
}
