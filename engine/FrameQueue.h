#pragma once

#include "app/LogThrottle.h"
#include "engine/FfmpegPtr.h"
#include "engine/FrameRecord.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

struct AVFrame;

// Timestamped FIFO of decoded frames. A queued frame is a reference to the decoder's own
// buffers (moved in from the decoded frame, never copied), held in one of a fixed number of
// frame slots allocated once. The queue is bounded twice: by the bytes of the buffers its
// frames reference and by the number of slots, so that a peer sending faster than delivery
// drains, or in tiny frames, cannot make it hold more; a frame beyond either bound is refused
// (counted, logged now and then).
//
// Threads: one producer (a decoding thread) calls setBudget and push; one consumer (the
// playout thread) pops, peeks, trims, drops and clears (in a video-only session the producer
// also drops, to hold the queue under its bound). bufferedMs() and queuedBytes() may be read
// from any thread without locking.
// Locks: m_mutex guards m_head, m_count, the slots' records and references from the head on,
// and every change of m_bufferedMs and m_queuedBytes. The producer fills the slot after the
// newest outside the lock: no other thread touches that slot, and pops leave its index alone.
class FrameQueue
{
public:
    static constexpr int kKindAudio = 10;
    static constexpr int kKindVideo = 20;

    // Called on the producer's thread, outside the lock, after a push into an empty queue: a
    // consumer that sleeps until its queued frames are due has nothing to wait for then.
    struct Waker
    {
        void (*wake)(void *context) = nullptr;
        void *context = nullptr;
    };

    explicit FrameQueue(int kind);
    ~FrameQueue();
    FrameQueue(const FrameQueue &) = delete;
    FrameQueue &operator=(const FrameQueue &) = delete;

    // Producer thread, while the queue is empty (before its first push): the most bytes of
    // referenced buffers and the most frames it holds. The frame slots are allocated here,
    // once; false (logged) when they could not be, or the queue is not empty.
    bool setBudget(qint64 maxBytes, int maxFrames);
    qint64 budgetBytes() const;
    int maxFrames() const;

    // Producer thread. Takes `frame`'s reference (the frame is left blank, queued or not) and
    // appends it: a picture in any format and size, or planar 32-bit float sound (mono may be
    // packed). A frame that is not reference-counted is copied once into buffers of its own.
    // Returns false, with the frame counted as dropped, when it is not a usable frame of the
    // queue's kind or it does not fit the budget. `arrivalMs` (monotonic) lets the delivery
    // measure arrival jitter; kArrivalNow stamps the frame with the time of the push, and
    // kArrivalUnknown leaves it out of the measurement.
    static constexpr qint64 kArrivalNow = -1;
    static constexpr qint64 kArrivalUnknown = -2;
    bool push(AVFrame *frame, qint64 timestamp, double durationMs, qint64 arrivalMs = kArrivalNow);

    // Any thread: the waker a push into the empty queue calls (null: none). It must stay valid
    // until it is replaced or the producer has ended.
    void setWaker(const Waker *waker) { m_waker.store(waker); }

    // Consumer thread. Moves the oldest frame, when it is due by `limit`, into `into`
    // (unreferenced first); `out.frame` is then `into`.
    bool popIfDue(FrameRecord &out, qint64 limit, AVFrame *into);
    // A copy of the oldest record, left queued; false when empty. With one consumer, the
    // record seen is the one its next pop takes, and its frame stays valid until then.
    bool peekOldest(FrameRecord &out) const;
    qint64 frontTimestamp() const;
    void dropOldest();
    int trimBefore(qint64 timestamp);
    void clear();

    // Any thread: the timestamps and arrival times of the newest records stamped after `after`
    // (at most `max`, the newest ones), oldest first; returns how many were written.
    int arrivalsAfter(qint64 after, qint64 *timestamps, qint64 *arrivals, int max) const;

    // Any thread: shows the oldest record to `visit` while the queue is locked, so its frame
    // stays valid during the call even if the session ends; false when the queue is empty.
    bool visitOldest(const std::function<void(const FrameRecord &)> &visit) const;

    // Any thread, no lock.
    double bufferedMs() const { return m_bufferedMs.load(std::memory_order_relaxed); }
    qint64 queuedBytes() const { return m_queuedBytes.load(std::memory_order_relaxed); }
    qint64 droppedFrames() const { return m_drops.total(); }

    // Session end, when no thread uses the queue any more: lets every frame go and frees the
    // slots. The queue may be given a budget again afterwards.
    void releaseFrames();

    int kind() const { return m_kind; }
    int count() const;

    // Bytes of the buffers `frame` references (0 when it references none).
    static qint64 frameBytes(const AVFrame *frame);

private:
    struct Slot
    {
        FrameRecord record;
        AVFramePtr frame;
    };
    // -- m_mutex held.
    Slot &slotAt_Locked(int index) { return m_slots[size_t((m_head + index) % capacity_Locked())]; }
    const Slot &slotAt_Locked(int index) const
    {
        return m_slots[size_t((m_head + index) % capacity_Locked())];
    }
    int capacity_Locked() const { return int(m_slots.size()); }
    // Takes the oldest record off the queue; its frame stays in the slot for the caller.
    Slot &takeOldest_Locked();
    void countDrop(const char *reason);

    const int m_kind;
    std::atomic<double> m_bufferedMs{0.0};
    std::atomic<qint64> m_queuedBytes{0};
    LogThrottle m_drops;

    std::atomic<qint64> m_maxBytes{0}; // set by setBudget
    std::atomic<const Waker *> m_waker{nullptr};

    mutable std::mutex m_mutex;
    // -- guarded by m_mutex (the slots' storage is changed by setBudget and releaseFrames only,
    // while the queue is empty)
    std::vector<Slot> m_slots;
    int m_head = 0;
    int m_count = 0;
};
