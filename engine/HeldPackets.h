#pragma once

#include "engine/FfmpegPtr.h"

#include <QtGlobal>

#include <vector>

// The video packets of a camera whose pictures nobody sees, kept from its latest keyframe on
// instead of decoded: when it is shown again, the decoder starts at that keyframe and works
// through them, so the camera takes over with its current picture at the cost of one burst
// of decoding, not of decoding every picture while it waits.
//
// Bounded by kMaxPackets and kMaxBytes (a peer decides how far apart its keyframes are):
// past a bound everything is let go and nothing is kept until the next keyframe. The slots
// are allocated at the first hold and reused; holding moves the packet's data reference, so
// nothing is copied or allocated per packet after that.
//
// A plain class, used by one thread (a session's video decoding thread).
class HeldPackets
{
public:
    // 20 s at 30 fps; a second's worth of a 1080p camera is well below 2 MB.
    static constexpr int kMaxPackets = 600;
    static constexpr qint64 kMaxBytes = 32 * 1024 * 1024;

    HeldPackets() = default;
    HeldPackets(const HeldPackets &) = delete;
    HeldPackets &operator=(const HeldPackets &) = delete;

    // Takes `packet`'s data over (leaving it blank) when it is kept: a keyframe starts afresh,
    // any other packet follows a keyframe already kept. False when it was not kept (no keyframe
    // before it, a bound reached, or no memory for the slots); the caller still owns it then.
    bool hold(AVPacket *packet);
    // Hands each kept packet to `use` (a callable taking AVPacket *), oldest first, then lets
    // them all go.
    template <class Use>
    void drain(Use &&use)
    {
        for (int i = 0; i < m_count; ++i)
            use(m_slots[size_t(i)].get());
        clear();
    }
    void clear();
    // Also frees the slots.
    void release();

    int count() const { return m_count; }
    qint64 bytes() const { return m_bytes; }
    // Times a bound made everything go.
    qint64 overflows() const { return m_overflows; }

private:
    bool reserve();

    std::vector<AVPacketPtr> m_slots;
    int m_count = 0;
    qint64 m_bytes = 0;
    qint64 m_overflows = 0;
};
