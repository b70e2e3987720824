#pragma once

#include "output/MFObject.h"

#include <mutex>
#include <vector>

class MemoryFrame;

// The frame factory: builds frames over the caller's memory (no copy) from a small pool of
// frame objects. Any thread.
class FrameFactory final : public MFObject<IMFFactory>
{
public:
    FrameFactory();

    int createFromMemory(const MFFrameProps *props, const uchar *video, qint64 reserved1,
                         qint64 reserved2, IMFFrame **frame, const QString &hints) override;

private:
    friend class MemoryFrame;
    ~FrameFactory() override;
    // A frame whose last reference went; kept for reuse or deleted when the pool is full.
    void recycle(MemoryFrame *frame);

    // Frames in flight at once: one per sending thread, so a handful covers every case.
    static constexpr int kPoolFrames = 8;

    // -- guarded by m_lock
    std::mutex m_lock;
    std::vector<MemoryFrame *> m_free;
};
