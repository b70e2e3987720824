#pragma once

#include <QtGlobal>

#include <atomic>
#include <cstdint>
#include <thread>

// A TCP relay on 127.0.0.1 for tests and benchmarks that makes a clean loopback link bursty,
// as Wi-Fi and busy networks are: bytes from the publisher to the server are held back for
// random spells and then let go at once. Deterministic with its seed; every hold is bounded.
// One connection at a time; bytes from the server to the publisher pass at once.
//
// Threads: start/stop and the counters from the owner's thread; the relay runs on a thread of
// its own (poll on both sockets), stopped and joined by stop() and the destructor.
class JitterRelay
{
public:
    struct Options
    {
        int meanGapMs = 0;   // mean time between two holds (uniform 0..2x); 0: none
        int meanHoldMs = 20; // mean length of a hold (uniform 1..2x)
        int maxHoldMs = 200; // no hold is longer
        int stallAtMs = -1;  // one extra hold of stallMs, this long after the connection
        int stallMs = 0;
        uint32_t seed = 1;
    };

    explicit JitterRelay(const Options &options);
    ~JitterRelay();
    JitterRelay(const JitterRelay &) = delete;
    JitterRelay &operator=(const JitterRelay &) = delete;

    // Listens on a free loopback port and forwards a connection to `targetPort`. False when
    // no port could be bound.
    bool start(quint16 targetPort);
    void stop();
    quint16 port() const { return m_port; }

    // Holds made and the longest one, in ms; bytes relayed towards the server.
    int holds() const { return m_holds.load(); }
    int longestHoldMs() const { return m_longestHoldMs.load(); }
    qint64 bytes() const { return m_bytes.load(); }

private:
    void run();
    bool relay(int client, int server);
    uint32_t next();

    const Options m_options;
    uint32_t m_state;
    int m_listener = -1;
    quint16 m_port = 0;
    quint16 m_target = 0;
    int m_wake[2] = {-1, -1}; // stop() writes, the relay thread polls
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_holds{0};
    std::atomic<int> m_longestHoldMs{0};
    std::atomic<qint64> m_bytes{0};
};
