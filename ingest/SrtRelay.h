#pragma once

#include "ingest/RelayEnd.h"

#include <QString>
#include <QThread>

#include <atomic>

// Joins one accepted SRT caller to one TS intake: every message libsrt delivers (MPEG-TS
// packets, in order, after retransmission and at their latency-paced time) is written to the
// intake's loopback TCP port unchanged. When either side goes, or the caller sends nothing for
// kNoDataTimeoutMs (at the start or at any time after: a caller that loses its network keeps
// its connection open for libsrt's own, much longer, peer timeout), both are closed and the
// intake ends its session.
//
// It also samples the link's SRT statistics for the window: round-trip time, packets lost,
// retransmitted and dropped (too late to play).
//
// Memory is bounded: one message buffer; a slow intake blocks the TCP write, libsrt's own
// receive buffer (fixed size) fills and then drops, never this relay.
//
// Threads: object made, started, stopped and deleted on the GUI thread; run() owns both
// sockets. The counters are atomics written by run(), read from any thread.
class SrtRelay : public QThread
{
    Q_OBJECT
public:
    static constexpr int kConnectTimeoutMs = 5000;
    static constexpr int kNoDataTimeoutMs = 10000;
    // Longest wait inside the loop before the stop flag is looked at again.
    static constexpr int kPollMs = 100;
    // How often the SRT statistics are sampled.
    static constexpr int kStatsIntervalMs = 500;
    static constexpr unsigned long kStopWaitMs = 3000;

    struct LinkStats
    {
        double rttMs = 0;
        qint64 lost = 0;          // packets reported missing (most came back by retransmission)
        qint64 retransmitted = 0; // retransmitted packets received
        qint64 dropped = 0;       // packets that came too late or never: a hole in the stream
    };

    // GUI thread. `socket` is an accepted SRTSOCKET; the relay closes it. port is the
    // intake's loopback port.
    SrtRelay(int socket, const QString &peer, int port, QObject *parent);
    ~SrtRelay() override;

    // GUI thread: asks the loop to end and waits at most timeoutMs. True once it has ended.
    bool stop(unsigned long timeoutMs = kStopWaitMs);
    // Any thread, never blocks: ends the relay for `reason` (the first reason given is kept).
    void end(RelayEnd reason);
    RelayEnd endReason() const { return m_endReason.load(); }
    void setNoDataTimeoutMs(int ms) { m_noDataTimeoutMs = ms; }

    int port() const { return m_port; }
    QString peerAddress() const { return m_peer; }
    qint64 bytesFromClient() const { return m_bytes.load(std::memory_order_relaxed); }
    LinkStats linkStats() const;

protected:
    void run() override;

private:
    // Connects to the intake; -1 when it cannot be reached or is not ours.
    int connectIntake();
    // Writes all of data to the intake; false when it is gone or a stop came.
    bool writeAll(int fd, const char *data, int size);
    // False once the intake closed its side.
    bool intakeAlive(int fd);
    void sampleStats();

    const int m_socket;
    const QString m_peer;
    const int m_port;
    int m_noDataTimeoutMs = kNoDataTimeoutMs;
    bool m_socketClosed = false; // run() closed it; else the destructor does

    std::atomic<qint64> m_bytes{0};
    std::atomic<RelayEnd> m_endReason{RelayEnd::None};
    std::atomic<qint64> m_rttUs{0};
    std::atomic<qint64> m_lost{0};
    std::atomic<qint64> m_retransmitted{0};
    std::atomic<qint64> m_dropped{0};
};
