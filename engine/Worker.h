#pragma once

#include <QThread>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

class Generator;

// The delivery thread of one session: woken by each tick of its output clock (Generator), it
// runs one delivery pass (its pass function: the session's delivery policy) and waits for the
// next tick. A pass that found nothing to deliver may ask for a pause of some milliseconds,
// which a stop cuts short.
//
// Threads: created on the video handler thread with the clock as QObject parent; run() is the
// worker thread; offerTick() comes from the clock thread; requestStop() from any thread.
// The tick hand-off is a binary semaphore (m_tickAvailable under m_tickMutex) plus m_waiting:
// a tick is handed over only while m_waiting is 1, so at most one tick is ever pending and
// ticks that find the worker busy are lost.
class Worker : public QThread
{
public:
    // One delivery pass; returns the milliseconds to pause before the next one (0: none).
    using PassFunction = std::function<qint64()>;

    // Video decoding thread. Registers itself as the clock's worker.
    Worker(Generator *clock, PassFunction pass);
    // Owner's thread: stops the thread and waits for it.
    ~Worker() override;

    // Clock thread. If the worker accepts a tick (m_waiting 1), clears m_waiting and releases
    // the semaphore; returns false when the tick is lost.
    bool offerTick();
    // Any thread: interruption request plus a release of the semaphore, so a waiting worker
    // ends at once and a busy one after its pass.
    void requestStop();

    // Any thread: delivery passes run so far.
    qint64 passes() const { return m_passes.load(); }
    // Any thread: whether the worker accepts a tick right now.
    bool waiting() const { return m_waiting.load() == 1; }

protected:
    void run() override;

private:
    // Worker thread: takes the semaphore; false when the worker is to end.
    bool waitForTick();
    // Worker thread: pauses `ms`, or less when a stop arrives.
    void pause(qint64 ms);

    const PassFunction m_pass;
    std::atomic<int> m_waiting{0};
    std::atomic<bool> m_stopRequested{false};
    std::atomic<qint64> m_passes{0};

    std::mutex m_tickMutex;
    // -- guarded by m_tickMutex
    std::condition_variable m_tickWake;
    bool m_tickAvailable = false; // the binary semaphore, initially taken
};
