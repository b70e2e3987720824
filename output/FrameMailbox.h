#pragma once

#include "app/LogThrottle.h"

#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

struct AVBufferPool;
struct AVFrame;

// A one-slot hand-over of pictures from the thread that paces them (a session's delivery
// thread) to the thread that writes them out (VideoOutThread). The sender never waits for the
// writer: a picture still in the slot when the next one comes is replaced and counted as
// dropped, so a slow backend costs pictures, never the sender's time, and nothing queues up.
//
// A reference-counted picture (buf[0] set) is kept by reference (av_frame_ref), without a
// copy. Any other picture is copied once into a buffer from a pool made once per format and
// size; the pool hands the same few buffers round while the size holds, so a steady stream
// allocates nothing.
//
// Threads: put on the sending thread (one at a time); take on the writing thread; clear,
// interrupt, isInterrupted and the counters on any thread.
class FrameMailbox
{
public:
    FrameMailbox();
    ~FrameMailbox();
    FrameMailbox(const FrameMailbox &) = delete;
    FrameMailbox &operator=(const FrameMailbox &) = delete;

    // Leaves the picture in the slot for take(); the caller's frame stays as it was and may be
    // reused once this returns. False when the picture could not be kept (not a picture, a
    // failed reference or copy, or the mailbox was interrupted); that is logged and counted.
    bool put(const AVFrame *picture);
    // Empties the slot without counting a drop (the picture belongs to a session that left).
    void clear();

    // Waits until a picture is in the slot, at most `timeout`, and moves it into `out`
    // (whatever `out` held is released). False on timeout or once interrupted.
    bool take(AVFrame *out, std::chrono::milliseconds timeout);
    // Makes a waiting take() and every later one return false, and put() keep nothing.
    void interrupt();
    bool isInterrupted() const { return m_interrupted.load(); }

    // Pictures replaced in the slot before the writer took them.
    qint64 dropped() const { return m_dropped.load(); }
    // Pictures that could not be kept at all (see put).
    qint64 failed() const { return m_failed.load(); }
    // Pictures the writer took.
    qint64 taken() const { return m_taken.load(); }

private:
    struct FrameDeleter
    {
        void operator()(AVFrame *frame) const;
    };
    struct PoolDeleter
    {
        void operator()(AVBufferPool *pool) const;
    };
    using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
    using PoolPtr = std::unique_ptr<AVBufferPool, PoolDeleter>;

    // Copies a picture without buffers of its own into m_staging. Sending thread.
    bool copyToStaging(const AVFrame *picture);
    void logFailure(const char *what, int error);

    // -- Sending thread only: the picture being prepared outside the lock, and the copy pool
    // -- with the geometry it was made for (a pool outlives itself while buffers are out).
    FramePtr m_staging;
    PoolPtr m_pool;
    int m_poolFormat = -1;
    int m_poolWidth = 0;
    int m_poolHeight = 0;
    int m_poolBytes = 0;

    // -- All the following fields are protected by m_lock.
    std::mutex m_lock;
    std::condition_variable m_filled;
    FramePtr m_slot;
    bool m_full = false;

    LogThrottle m_failureLog;
    std::atomic<bool> m_interrupted{false};
    std::atomic<qint64> m_dropped{0};
    std::atomic<qint64> m_failed{0};
    std::atomic<qint64> m_taken{0};
};
