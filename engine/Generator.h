#pragma once

#include <QElapsedTimer>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

class Worker;

// The output clock of one stream manager: ticks every period (1,000,000 / fps µs, counted in
// whole milliseconds from the clock's start) and hands each tick to its Worker. It sleeps until
// each deadline, one wake-up per tick (the sleep ends at the deadline or a little after it); a
// clock that falls behind ticks back to back until it has caught up, and ticks that find the
// worker busy are lost (counted).
//
// Threads: created on the video handler thread without parent; run() is the clock thread;
// requestStop() and the counters from any thread. When the clock ends it also ends its worker
// (interruption, semaphore release, bounded wait), so stopping the clock stops delivery.
class Generator : public QThread
{
public:
    // Elapsed milliseconds since the clock started, and a sleep of some milliseconds that may
    // end early when the clock is stopped. Tests replace them with virtual time.
    using ElapsedFunction = std::function<qint64()>;
    using SleepFunction = std::function<void(qint64 ms)>;

    // The worker's stop is polled this often, and given this many polls before the clock
    // ends without it (its owner then knows from workerEnded()).
    static constexpr unsigned long kWorkerPollMs = 100;
    static constexpr int kWorkerPolls = 30;

    // Video handler thread. periodUs = 1,000,000 / fps.
    explicit Generator(int periodUs);
    // Owner's thread: stops the clock (and with it the worker) and waits for both.
    ~Generator() override;

    // Worker's constructor, before start().
    void setWorker(Worker *worker) { m_worker = worker; }
    Worker *worker() const { return m_worker; }
    // Before start(): replaces the real time source (tests).
    void setTimeSource(ElapsedFunction elapsed, SleepFunction sleep);

    // Any thread: the clock ends at its next test, cutting a sleep short.
    void requestStop();
    // Any thread: true when the worker has ended (or there is none).
    bool workerEnded() const;

    int periodUs() const { return m_periodUs; }
    int periodMs() const { return m_periodUs / 1000; }
    // Any thread: ticks handed to the worker, and ticks lost because it was busy.
    qint64 ticks() const { return m_ticks.load(); }
    qint64 lostTicks() const { return m_lostTicks.load(); }

protected:
    void run() override;

private:
    bool stopping() const;
    void tick();
    void sleepMs(qint64 ms);
    void stopWorker();

    const int m_periodUs;
    Worker *m_worker = nullptr; // child QObject; set before start
    ElapsedFunction m_elapsed;  // clock thread after start
    SleepFunction m_sleep;
    QElapsedTimer m_timer; // clock thread

    std::atomic<bool> m_stopRequested{false};
    std::atomic<qint64> m_ticks{0};
    std::atomic<qint64> m_lostTicks{0};

    std::mutex m_sleepMutex;
    // -- guarded by m_sleepMutex; woken by requestStop
    std::condition_variable m_sleepWake;
};
