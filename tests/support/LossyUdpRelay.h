#pragma once

#include <QtGlobal>

#include <atomic>
#include <thread>

// A lossy network path for SRT tests and benchmarks: a UDP relay on 127.0.0.1 that passes
// datagrams between one caller and a target port, dropping a given share of them in each
// direction with a seeded generator (the same seed drops the same datagrams). Runs on its own
// thread, so the test's event loop does not pace it.
class LossyUdpRelay
{
public:
    // `lossShare` 0.02 drops 2 % of the datagrams each way.
    LossyUdpRelay(quint16 targetPort, double lossShare, quint32 seed);
    ~LossyUdpRelay();
    LossyUdpRelay(const LossyUdpRelay &) = delete;
    LossyUdpRelay &operator=(const LossyUdpRelay &) = delete;

    // Binds the caller's side and starts the thread; the port to send to, 0 on failure.
    quint16 start();
    void stop();

    qint64 passed() const { return m_passed.load(); }
    qint64 dropped() const { return m_dropped.load(); }

private:
    void run();

    const quint16 m_target;
    const double m_loss;
    const quint32 m_seed;
    int m_front = -1; // the caller sends here
    int m_back = -1;  // towards the target
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<qint64> m_passed{0};
    std::atomic<qint64> m_dropped{0};
};
