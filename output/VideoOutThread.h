#pragma once

#include "output/FrameMailbox.h"

#include <QThread>

#include <atomic>
#include <functional>

struct AVFrame;

// The output's own thread for pictures: the sender posts a picture into a one-slot mailbox and
// returns at once; this thread takes it and does the heavy work through onPicture (scaling and
// the V4L2 write, NDI's send, the preview's conversion). A picture posted while the previous
// one is still in the slot replaces it and is counted as dropped, so the clock that paces the
// pictures never waits on a backend. Between pictures the thread calls onTick every
// `tickIntervalMs` (the no-signal card's interval), whether or not pictures come.
//
// Threads: constructed, started and stopped by the owner (any one thread, not this one);
// post on the one sending thread of the moment; clearPending and the counters on any thread;
// the handlers run on this thread, one at a time. stop(): flag, wake, then a bounded wait
// (a warning when the thread is still inside a handler after kStopWaitMs, and then a wait for
// that handler to return: the backends it is inside must not go before it); it is idempotent
// and the destructor calls it. The thread is never killed.
class VideoOutThread : public QThread
{
public:
    using PictureHandler = std::function<void(const AVFrame &picture)>;
    using TickHandler = std::function<void()>;

    // How long stop() waits before it warns that a handler is slow to return.
    static constexpr int kStopWaitMs = 2000;

    // tickIntervalMs > 0. The handlers must outlive the thread's run (stop() before they go).
    VideoOutThread(PictureHandler onPicture, TickHandler onTick, int tickIntervalMs);
    ~VideoOutThread() override;

    // Hands one picture over; see FrameMailbox::put. False when it was not kept.
    bool post(const AVFrame *picture) { return m_mailbox.put(picture); }
    // Forgets a picture still waiting (not counted as dropped).
    void clearPending() { m_mailbox.clear(); }
    void stop();

    // Pictures replaced before this thread could take them, because it was busy.
    qint64 picturesDropped() const { return m_mailbox.dropped(); }
    // Pictures given to onPicture.
    qint64 picturesHandled() const { return m_handled.load(); }

protected:
    void run() override;

private:
    const PictureHandler m_onPicture;
    const TickHandler m_onTick;
    const int m_tickIntervalMs;
    FrameMailbox m_mailbox;
    std::atomic<bool> m_stopping{false};
    std::atomic<qint64> m_handled{0};
};
