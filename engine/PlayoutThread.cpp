#include "engine/PlayoutThread.h"

#include "engine/EngineLog.h"

#include <algorithm>
#include <chrono>

PlayoutThread::PlayoutThread(int periodMs, PassFunction pass)
    : m_periodMs(std::max(1, periodMs)), m_pass(std::move(pass))
{
    setObjectName(QStringLiteral("playout"));
}

PlayoutThread::~PlayoutThread()
{
    requestStop();
    wait();
}

void PlayoutThread::setTimeSource(ElapsedFunction elapsed, SleepFunction sleep)
{
    m_elapsed = std::move(elapsed);
    m_sleep = std::move(sleep);
}

void PlayoutThread::requestStop()
{
    m_stopRequested = true;
    requestInterruption();
    // Under the lock: a sleeper that has just tested the flag is already waiting, so it wakes.
    std::lock_guard<std::mutex> locker(m_wakeMutex);
    m_wake.notify_all();
}

void PlayoutThread::wake()
{
    m_woken = true;
    std::lock_guard<std::mutex> locker(m_wakeMutex);
    m_wake.notify_all();
}

bool PlayoutThread::stop(unsigned long waitMs)
{
    requestStop();
    return wait(waitMs);
}

void PlayoutThread::sleepMs(qint64 ms)
{
    if (ms <= 0)
        return;
    if (m_sleep) {
        m_sleep(ms);
        return;
    }
    std::unique_lock<std::mutex> locker(m_wakeMutex);
    m_wake.wait_for(locker, std::chrono::milliseconds(ms),
                    [this] { return stopping() || m_woken.load(); });
}

void PlayoutThread::run()
{
    // Refused without the right to raise priority; playout then runs at normal priority.
    setPriority(QThread::TimeCriticalPriority);
    const qint64 period = m_periodMs;
    qCInfo(lcEngine) << "GENERATOR MS:" << period;
    m_timer.start();
    const ElapsedFunction elapsed = m_elapsed ? m_elapsed : [this] { return m_timer.elapsed(); };

    qint64 next = 0; // the next deadline, a multiple of the period
    while (!stopping()) {
        qint64 now = elapsed();
        // Woken during a pause (or the pass before it): the next deadline from now is due.
        if (m_woken.exchange(false))
            next = std::min(next, (now + period - 1) / period * period);
        // One wake-up per tick: the sleep ends at the deadline or a little after it.
        if (now < next) {
            sleepMs(next - now);
            continue;
        }
        const qint64 owed = (now - next) / period + 1;
        if (owed > kMaxCatchUpTicks) {
            const qint64 skipped = owed - kMaxCatchUpTicks;
            m_skippedTicks.fetch_add(skipped);
            next += skipped * period;
        }
        const qint64 pauseMs = m_pass ? m_pass() : 0;
        m_ticks.fetch_add(1);
        next += period;
        if (pauseMs > 0 && !stopping()) {
            // The pause ends at the first deadline after it; the ones it covers were declined.
            now = elapsed();
            const qint64 end = now + pauseMs;
            next = std::max(next, (end + period - 1) / period * period);
        }
    }
}
