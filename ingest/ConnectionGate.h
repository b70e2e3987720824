#pragma once

#include "app/RateLimit.h"

#include <QObject>
#include <QTimer>

#include <list>

class QSocketNotifier;

// Holds accepted connections until their first byte shows an RTMP handshake (version 3, which
// every RTMP camera sends as soon as it is connected), so that a connection that sends
// nothing, or something else, never takes an intake and its threads: a port scan, a browser
// or a flood of idle connections costs a descriptor each, for a bounded time and number.
//
// GUI thread only. Owns each descriptor until it is handed on (rtmpConnection) or closed.
class ConnectionGate : public QObject
{
    Q_OBJECT
public:
    // A connection that has sent nothing this long is closed.
    static constexpr int kFirstByteTimeoutMs = 10000;
    // Connections waiting at once; one more closes the one that has waited longest.
    static constexpr int kMaxPending = 64;
    static constexpr unsigned char kRtmpVersion = 3;

    explicit ConnectionGate(QObject *parent = nullptr);
    ~ConnectionGate() override; // closes every connection still waiting

    // Takes the accepted connection and waits for its first byte.
    void add(qintptr descriptor);
    // Closes every connection still waiting (the listener stops).
    void clear();
    int pendingCount() const { return int(m_pending.size()); }
    // Connections closed for what they sent (or did not send) over the gate's life.
    qint64 rejectedCount() const { return m_rejected; }

    void setTimeoutMs_for_testing(int ms);

signals:
    // The connection's first byte is an RTMP handshake's; the descriptor now belongs to the
    // receiver, and the byte is still unread.
    void rtmpConnection(qintptr descriptor);

private:
    struct Pending
    {
        qintptr descriptor;
        QSocketNotifier *notifier; // child; deleted later, as it may be the signal's sender
        qint64 sinceMs;
    };
    using Iterator = std::list<Pending>::iterator;

    void onReadable(qintptr descriptor);
    void closeTimedOut();
    // Closes the connection and forgets it; `why` (may be empty) is logged, rate-limited.
    void reject(Iterator it, const char *why, int firstByte = -1);
    Iterator find(qintptr descriptor);
    // Forgets the connection without closing it.
    void forget(Iterator it);

    std::list<Pending> m_pending; // oldest first
    QTimer m_sweep;
    int m_timeoutMs = kFirstByteTimeoutMs;
    qint64 m_rejected = 0;
    RateLimit m_rejectLog;
};
