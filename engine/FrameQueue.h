#pragma once

#include "app/LogThrottle.h"
#include "engine/FrameRecord.h"

#include <QList>
#include <QVector>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

struct AVFrame;

// Timestamped FIFO of decoded frames whose data lives in recycled fixed-size blocks.
//
// Threads: one producer (a decoding thread) calls push; one consumer (the delivery worker)
// pops, trims, drops, clears and releases (in a video-only session the producer also drops,
// to hold the queue under its bound).
// bufferedMs() may be read from any thread without locking.
// Locks: m_recordsMutex guards m_records and every change of m_bufferedMs; m_freeMutex guards
// m_freeBlocks, m_blocks, m_blockSize, m_poolBytes, m_initialBytes and m_maxGrowBytes.
// m_recordsMutex may be held while m_freeMutex is taken, never the reverse. Frame data is copied
// while holding neither.
class FrameQueue
{
public:
    static constexpr int kKindAudio = 10;
    static constexpr int kKindVideo = 20;
    // Blocks added at once when a push finds the pool empty.
    static constexpr int kGrowBlocks = 5;
    // A peer that sends faster than delivery drains must not make the program take hundreds
    // of MB: beyond its first allocation the pool grows by at most this many bytes (unless
    // the first allocation names a smaller growth); a push that then finds no free block drops
    // its frame (counted, logged now and then). A real-time stream never comes near: its
    // queues hold a few frames at a time.
    static constexpr qint64 kMaxGrowBytes = qint64(48) * 1024 * 1024;

    explicit FrameQueue(int kind);
    ~FrameQueue();
    FrameQueue(const FrameQueue &) = delete;
    FrameQueue &operator=(const FrameQueue &) = delete;

    // Producer thread. Sets the block size and adds count blocks. A pool that already holds
    // blocks of another size is left alone (returns false): every block must have one size.
    // The first allocation of an empty pool sets how far pushes may grow it beyond that
    // (`maxGrowBytes`, 0: a fixed pool).
    bool allocateBlocks(int count, int blockSize, qint64 maxGrowBytes = kMaxGrowBytes);
    // Any thread: the most the pool may hold now (its first allocation plus the growth bound).
    qint64 poolBoundBytes() const;

    // Producer thread. Copies a YUV420P picture (video) or planar 32-bit float samples (audio)
    // into a free block and appends a record. Returns false, with a log line and the frame
    // counted as dropped, when the frame has another format or does not fit a block, or when
    // the pool is at its bound. `arrivalMs` (monotonic) lets the delivery measure arrival
    // jitter; -1 stamps the frame with the time of the push.
    bool push(const AVFrame *frame, qint64 timestamp, double durationMs, qint64 arrivalMs = -1);

    // Consumer thread.
    bool popIfDue(FrameRecord &out, qint64 limit);
    // A copy of the oldest record, left queued; false when empty. With one consumer, the
    // record seen is the one its next pop takes.
    bool peekOldest(FrameRecord &out) const;
    qint64 frontTimestamp() const;
    void dropOldest();
    int trimBefore(qint64 timestamp);
    void clear();
    void release(const FrameRecord &record);

    // Any thread: the timestamps and arrival times of the newest records stamped after `after`
    // (at most `max`, the newest ones), oldest first; returns how many were written.
    int arrivalsAfter(qint64 after, qint64 *timestamps, qint64 *arrivals, int max) const;

    // Any thread: shows the oldest record to `visit` while the queue is locked, so the block
    // stays valid during the call even if the session ends; false when the queue is empty.
    bool visitOldest(const std::function<void(const FrameRecord &)> &visit) const;

    // Any thread, no lock.
    double bufferedMs() const { return m_bufferedMs.load(std::memory_order_relaxed); }
    qint64 droppedFrames() const { return m_drops.total(); }

    // Session end, when no thread uses the queue any more and no popped record is still held:
    // empties the queue and frees every block. The queue may be given blocks again afterwards.
    void releaseBlocks();

    int kind() const { return m_kind; }
    int count() const;
    int blockSize() const;
    int blockCount() const;
    int freeBlockCount() const;

    // Bytes a video picture takes in a block, and the luma line size it gets there: the
    // picture's own line sizes when its chroma line size is exactly half its luma line size,
    // otherwise rows packed to an even luma line size. -1 when the picture is not YUV420P.
    static int videoBytes(const AVFrame *frame, int *stride, bool *ownLineSizes);

private:
    bool takeFreeBlock(uchar **block);
    void recycle(uchar *block);
    void countDrop(const char *reason);

    const int m_kind;
    std::atomic<double> m_bufferedMs{0.0};
    LogThrottle m_drops;

    mutable std::mutex m_recordsMutex;
    // -- guarded by m_recordsMutex
    QVector<FrameRecord> m_records;

    mutable std::mutex m_freeMutex;
    // -- guarded by m_freeMutex
    int m_blockSize = 0;
    qint64 m_poolBytes = 0;
    qint64 m_initialBytes = 0; // what allocateBlocks gave an empty pool; sets the growth bound
    qint64 m_maxGrowBytes = kMaxGrowBytes; // growth beyond m_initialBytes
    QList<uchar *> m_freeBlocks;
    std::vector<std::unique_ptr<uchar[]>> m_blocks; // owns every block of the pool
};
