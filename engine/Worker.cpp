#include "engine/Worker.h"

#include "engine/Generator.h"

#include <chrono>

Worker::Worker(Generator *clock, PassFunction pass) : QThread(clock), m_pass(std::move(pass))
{
    setObjectName(QStringLiteral("delivery worker"));
    if (clock)
        clock->setWorker(this);
}

Worker::~Worker()
{
    requestStop();
    wait();
}

bool Worker::offerTick()
{
    int expected = 1;
    if (!m_waiting.compare_exchange_strong(expected, 0))
        return false;
    std::lock_guard<std::mutex> locker(m_tickMutex);
    m_tickAvailable = true;
    m_tickWake.notify_one();
    return true;
}

void Worker::requestStop()
{
    m_stopRequested = true;
    requestInterruption();
    std::lock_guard<std::mutex> locker(m_tickMutex);
    m_tickAvailable = true;
    m_tickWake.notify_one();
}

bool Worker::waitForTick()
{
    std::unique_lock<std::mutex> locker(m_tickMutex);
    m_tickWake.wait(locker, [this] { return m_tickAvailable; });
    m_tickAvailable = false;
    return !m_stopRequested.load();
}

void Worker::pause(qint64 ms)
{
    std::unique_lock<std::mutex> locker(m_tickMutex);
    m_tickWake.wait_for(locker, std::chrono::milliseconds(ms),
                        [this] { return m_stopRequested.load(); });
}

void Worker::run()
{
    // Refused without the right to raise priority; delivery then simply runs at normal priority.
    setPriority(QThread::TimeCriticalPriority);
    m_waiting = 1;
    if (!waitForTick())
        return;
    for (;;) {
        // Set before the pass: a tick arriving while this pass works starts the next at once.
        m_waiting = 1;
        const qint64 pauseMs = m_pass ? m_pass() : 0;
        m_passes.fetch_add(1);
        if (pauseMs > 0)
            pause(pauseMs);
        if (!waitForTick())
            return;
    }
}
