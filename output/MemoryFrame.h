#pragma once

#include "output/MFObject.h"

class FrameFactory;

// A frame over the caller's buffers, handed out by FrameFactory and given back to its pool
// when the last reference goes, so building a frame allocates nothing once warm.
// Used by one sending thread at a time (the thread that created it).
class MemoryFrame final : public MFObject<IMFFrame>
{
public:
    int addAudio(const MFAudioProps *audioProps, int bytes, const void *audio) override;
    const MFFrameProps &props() const override { return m_props; }
    const uchar *video() const override { return m_video; }
    const void *audio() const override { return m_audio; }
    int audioBytes() const override { return m_audioBytes; }

private:
    friend class FrameFactory;
    MemoryFrame() = default;
    ~MemoryFrame() override = default;

    // Called by the factory before handing the frame out.
    void assign(FrameFactory *owner, const MFFrameProps &props, const uchar *video);
    void finalRelease() override;

    MFPtr<FrameFactory> m_owner; // set while handed out, so the pool outlives the frame
    MFFrameProps m_props{};
    const uchar *m_video = nullptr;
    const void *m_audio = nullptr;
    int m_audioBytes = 0;
};
