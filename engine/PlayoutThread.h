#pragma once

#include <QElapsedTimer>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

// The playout thread of one session: it sleeps until each deadline (one wake-up per period,
// the deadlines counted from its start so that it does not drift) and runs one delivery pass
// there itself. A thread that falls behind runs the ticks it owes back to back, at most
// kMaxCatchUpTicks of them; older ones are skipped (counted) and the schedule goes on at the
// next deadline. A pass may ask for a pause, which ends at a deadline and which a stop cuts
// short; the deadlines it covers were declined, not owed. A wake() ends a pause early: the
// pass runs again at the next deadline.
//
// Threads: created and started by the session's video decoding thread; run() is the playout
// thread and the only one that runs the pass; requestStop(), stop(), wake() and the counters
// from any thread; setTimeSource() before start(). Stop and wake are a flag plus a notify of
// m_wake (under m_wakeMutex): a sleep or pause ends at once, a running pass is let finish.
class PlayoutThread : public QThread
{
public:
    // One delivery pass; returns the milliseconds to pause before the next one (0: none).
    using PassFunction = std::function<qint64()>;
    // Elapsed milliseconds since the thread started, and a sleep of some milliseconds that may
    // end early on a stop. Tests replace them with virtual time.
    using ElapsedFunction = std::function<qint64()>;
    using SleepFunction = std::function<void(qint64 ms)>;

    // Owed ticks run back to back after a stall; a pass is driven by the time it is handed,
    // so running more of them only burns the time the thread is already short of.
    static constexpr qint64 kMaxCatchUpTicks = 8;
    // A bounded stop waits this long for a pass that is stuck in an output.
    static constexpr unsigned long kStopWaitMs = 5000;

    // Any thread. periodMs below 1 is taken as 1: a period of 0 would never sleep.
    PlayoutThread(int periodMs, PassFunction pass);
    // Owner's thread: stops the thread and waits until it has ended.
    ~PlayoutThread() override;
    PlayoutThread(const PlayoutThread &) = delete;
    PlayoutThread &operator=(const PlayoutThread &) = delete;

    // Before start(): replaces the real time source (tests).
    void setTimeSource(ElapsedFunction elapsed, SleepFunction sleep);

    // Any thread: the thread ends before its next pass, cutting a sleep or pause short. Asked
    // before start(), the thread runs no pass at all.
    void requestStop();
    // Any thread but the playout thread: requestStop(), then waits at most `waitMs`. True when
    // the thread has ended (or never ran).
    bool stop(unsigned long waitMs = kStopWaitMs);
    // Any thread: a pause ends at the next deadline (something may be due sooner than the
    // pass thought). A wake during a pass ends the pause that pass asks for.
    void wake();

    int periodMs() const { return m_periodMs; }
    // Any thread: passes run, and deadlines skipped because the thread fell too far behind.
    qint64 ticks() const { return m_ticks.load(); }
    qint64 skippedTicks() const { return m_skippedTicks.load(); }

protected:
    void run() override;

private:
    bool stopping() const { return m_stopRequested.load(); }
    // Playout thread: sleeps `ms`, or less when a stop arrives.
    void sleepMs(qint64 ms);

    const int m_periodMs;
    const PassFunction m_pass;
    ElapsedFunction m_elapsed; // set before start, then playout thread
    SleepFunction m_sleep;
    QElapsedTimer m_timer; // playout thread

    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_woken{false};
    std::atomic<qint64> m_ticks{0};
    std::atomic<qint64> m_skippedTicks{0};

    std::mutex m_wakeMutex;
    // -- guarded by m_wakeMutex; notified by requestStop and wake
    std::condition_variable m_wake;
};
