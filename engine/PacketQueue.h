#pragma once

#include "app/LogThrottle.h"
#include "engine/FfmpegPtr.h"

#include <condition_variable>
#include <deque>
#include <mutex>

// The packets read for one decoder, oldest first: the intake appends, the decoding thread
// takes. Bounded: a peer that sends faster than the decoder keeps up loses packets beyond the
// bound (counted, logged now and then) instead of growing the queue without end.
//
// Threads: push and clear from the manager thread (the intake); take from the decoding thread,
// which it blocks until a packet or a stop arrives; requestStop from any thread.
class PacketQueue
{
public:
    // `name` goes into the drop line ("video", "audio").
    PacketQueue(size_t bound, const char *name);
    PacketQueue(const PacketQueue &) = delete;
    PacketQueue &operator=(const PacketQueue &) = delete;

    // Appends, or drops the packet (false) when the queue is full.
    bool push(AVPacketPtr packet);
    // The oldest packet; waits for one. Null once a stop was requested.
    AVPacketPtr take();
    // Ends every take, now and later.
    void requestStop();
    void clear();

    size_t size() const;
    qint64 dropped() const { return m_drops.total(); }

private:
    const size_t m_bound;
    const char *const m_name;
    LogThrottle m_drops;

    // -- All the following fields are protected by m_lock.
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<AVPacketPtr> m_packets;
    bool m_stopping = false;
};
