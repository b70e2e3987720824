#include "engine/Generator.h"

#include "engine/EngineLog.h"
#include "engine/Worker.h"

#include <chrono>

Generator::Generator(int periodUs) : m_periodUs(periodUs)
{
    setObjectName(QStringLiteral("output clock"));
}

Generator::~Generator()
{
    requestStop();
    wait();
    // The worker is a child and would be deleted next; it must have ended by then.
    if (m_worker) {
        m_worker->requestStop();
        m_worker->wait();
    }
}

void Generator::setTimeSource(ElapsedFunction elapsed, SleepFunction sleep)
{
    m_elapsed = std::move(elapsed);
    m_sleep = std::move(sleep);
}

void Generator::requestStop()
{
    m_stopRequested = true;
    requestInterruption();
    std::lock_guard<std::mutex> locker(m_sleepMutex);
    m_sleepWake.notify_all();
}

bool Generator::workerEnded() const
{
    return !m_worker || m_worker->isFinished() || !m_worker->isRunning();
}

bool Generator::stopping() const
{
    return m_stopRequested.load() || isInterruptionRequested();
}

void Generator::sleepMs(qint64 ms)
{
    if (ms <= 0)
        return;
    if (m_sleep) {
        m_sleep(ms);
        return;
    }
    // An interruptible sleep, so that a stop never waits for a long period to pass.
    std::unique_lock<std::mutex> locker(m_sleepMutex);
    m_sleepWake.wait_for(locker, std::chrono::milliseconds(ms), [this] { return stopping(); });
}

void Generator::tick()
{
    if (m_worker && m_worker->offerTick())
        m_ticks.fetch_add(1);
    else
        m_lostTicks.fetch_add(1);
}

void Generator::run()
{
    // Refused without the right to raise priority; the clock then runs at normal priority.
    setPriority(QThread::TimeCriticalPriority);
    // A rate above 1000 fps would give a period of 0 and a clock that never sleeps.
    const qint64 period = qMax<qint64>(1, m_periodUs / 1000);
    qCInfo(lcEngine) << "GENERATOR MS:" << period;
    m_timer.start();
    const ElapsedFunction elapsed = m_elapsed ? m_elapsed : [this] { return m_timer.elapsed(); };

    qint64 next = 0;
    while (!stopping()) {
        // One wake-up per tick: the sleep ends at the deadline or a little after it.
        const qint64 remaining = next - elapsed();
        if (remaining > 0) {
            sleepMs(remaining);
            continue;
        }
        tick();
        next += period;
    }
    stopWorker();
}

void Generator::stopWorker()
{
    if (!m_worker)
        return;
    m_worker->requestStop();
    for (int poll = 0; poll < kWorkerPolls; ++poll) {
        if (m_worker->wait(kWorkerPollMs))
            return;
    }
    qCWarning(lcEngine) << "can't stop delivery worker" << m_worker;
}
