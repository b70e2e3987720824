#pragma once

#include "ingest/RelayEnd.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

class QThread;

// One accepted camera connection joined to one intake, as an object living on a thread of its
// own (RtmpRelay, SrtRelay). The relay is made on its owning thread (the GUI thread in the
// program), moves itself to its own thread at start() and back to the owning thread when it
// closes; its thread then ends and finished() follows there. Only then may the owner delete
// it: nothing waits, and no thread is ever killed.
//
// A stop is a flag and a queued call: end() sets the reason and asks the relay's thread to
// close (an event-driven relay does so at once, a polling one at its next look at the flag).
//
// Threads: the constructor, start(), stop(), wait() and the destructor on the owning thread;
// end() and the getters from any thread; run() and onEndRequested() on the relay's thread.
// Signals of derived relays come from the relay's thread and reach the owner queued.
class Relay : public QObject
{
    Q_OBJECT
public:
    // Bound of stop(): a relay never blocks outside its event loop or its short poll.
    static constexpr unsigned long kStopWaitMs = 5000;

    ~Relay() override;

    // Owning thread, once: moves the relay onto its own thread and runs it there. The relay
    // must have no parent (a parent would pin it to the owning thread).
    void start();
    // Any thread, never blocks: ends the relay for `reason` (the first reason given is kept).
    // Before start() the relay closes as soon as it starts.
    void end(RelayEnd reason);
    // Why the relay ended (None while it runs, and for one never started).
    RelayEnd endReason() const { return m_endReason.load(); }
    // Owning thread. end(Stopped), then waits at most timeoutMs for the relay's thread. Safe
    // before start(), after the end and more than once. True when the thread is not running.
    bool stop(unsigned long timeoutMs = kStopWaitMs);
    // Owning thread: waits at most timeoutMs for the relay's thread; true once it has ended
    // (or never started).
    bool wait(unsigned long timeoutMs);
    // Any thread.
    bool isRunning() const;
    bool isFinished() const;
    // The relay's thread: who is who for the intake it feeds. Lives as long as the relay.
    QThread *relayThread() const { return m_thread.get(); }

    // The camera's address as known when the relay was made ("" if unknown).
    QString peerAddress() const { return m_peer; }
    // The intake's loopback port.
    int port() const { return m_port; }
    // Any thread; may be slightly stale. Bytes taken from the camera (the bitrate reads this).
    virtual qint64 bytesFromClient() const = 0;

signals:
    // Owning thread, once the relay's thread has ended: the relay may be deleted now.
    void finished();

protected:
    // Owning thread. `threadName` names the OS thread (debugger, TSan, benchmarks).
    Relay(const QString &peer, int port, const QString &threadName);

    // Relay thread, queued after start(): sets the relay up; it runs on in its thread's event
    // loop until it calls close().
    virtual void run() = 0;
    // Relay thread, queued after end() while the relay runs. endReason() is set.
    virtual void onEndRequested() = 0;
    // Relay thread: keeps `reason` unless one was set already.
    void keepEndReason(RelayEnd reason);
    // Relay thread: end() was called.
    bool endRequested() const { return m_endRequested.load(std::memory_order_acquire); }
    // Relay thread, last: keeps `reason` unless one was set already, moves the relay back to
    // its owning thread and ends the relay's thread. Nothing of the relay's may run after it.
    void close(RelayEnd reason);
    // Relay thread: true from close() on.
    bool closed() const { return m_closed.load(std::memory_order_acquire); }
    // Derived destructors, first: ends the relay and waits for its thread (derived members are
    // still alive then). Safe more than once.
    void halt();

private:
    void begin();
    void onThreadFinished();

    const QString m_peer;
    const int m_port;
    QThread *const m_home;             // the owning thread
    std::unique_ptr<QThread> m_thread; // lives on the owning thread
    std::atomic<RelayEnd> m_endReason{RelayEnd::None};
    std::atomic<bool> m_endRequested{false};
    // Set (release) by close() on the relay thread; read (acquire) on the owning thread once
    // the thread has ended, so what the relay did there is visible even to tools that cannot
    // see Qt's own locking.
    std::atomic<bool> m_closed{false};
    bool m_started = false; // owning thread
    bool m_begun = false;   // relay thread: run() was called
};
