#pragma once

#include "ingest/Relay.h"

#include <QString>

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
// Threads: a Relay: made, started, stopped and deleted on the owning (GUI) thread. run() owns
// both sockets and polls on the relay's thread until the relay ends (it looks at the stop flag
// at least every kPollMs). The counters are atomics written by run(), read from any thread.
class SrtRelay : public Relay
{
    Q_OBJECT
public:
    static constexpr int kConnectTimeoutMs = 5000;
    static constexpr int kNoDataTimeoutMs = 10000;
    // Longest wait inside the loop before the stop flag is looked at again.
    static constexpr int kPollMs = 100;
    // How often the SRT statistics are sampled.
    static constexpr int kStatsIntervalMs = 500;

    struct LinkStats
    {
        double rttMs = 0;
        qint64 lost = 0;          // packets reported missing (most came back by retransmission)
        qint64 retransmitted = 0; // retransmitted packets received
        qint64 dropped = 0;       // packets that came too late or never: a hole in the stream
    };

    // Owning thread. `socket` is an accepted SRTSOCKET; the relay closes it (the destructor,
    // if the relay never ran). port is the intake's loopback port.
    SrtRelay(int socket, const QString &peer, int port);
    ~SrtRelay() override;

    // Owning thread, before start().
    void setNoDataTimeoutMs(int ms) { m_noDataTimeoutMs = ms; }

    // Any thread.
    qint64 bytesFromClient() const override { return m_bytes.load(std::memory_order_relaxed); }
    LinkStats linkStats() const;

protected:
    // Relay thread: the whole relay, one loop; closes the relay at its end.
    void run() override;
    // Nothing to do: the loop sees the flag within kPollMs.
    void onEndRequested() override {}

private:
    // Connects to the intake; -1 when it cannot be reached or is not ours.
    int connectIntake();
    // Writes all of data to the intake; false when it is gone or a stop came.
    bool writeAll(int fd, const char *data, int size);
    // False once the intake closed its side.
    bool intakeAlive(int fd);
    void sampleStats();

    const int m_socket;
    int m_noDataTimeoutMs = kNoDataTimeoutMs;
    // run() closed it; else the destructor does (read there once the relay has ended).
    bool m_socketClosed = false;

    std::atomic<qint64> m_bytes{0};
    std::atomic<qint64> m_rttUs{0};
    std::atomic<qint64> m_lost{0};
    std::atomic<qint64> m_retransmitted{0};
    std::atomic<qint64> m_dropped{0};
};
