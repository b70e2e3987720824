#include "output/MemoryFrame.h"

#include "output/FrameFactory.h"

int MemoryFrame::addAudio(const MFAudioProps *audioProps, int bytes, const void *audio)
{
    if (!audioProps || bytes < 0 || (bytes > 0 && !audio))
        return kMfInvalidArg;
    m_props.audio = *audioProps;
    m_audio = audio;
    m_audioBytes = bytes;
    return kMfOk;
}

void MemoryFrame::assign(FrameFactory *owner, const MFFrameProps &props, const uchar *video)
{
    m_owner = MFPtr<FrameFactory>(owner);
    m_props = props;
    m_video = video;
    m_audio = nullptr;
    m_audioBytes = 0;
}

void MemoryFrame::finalRelease()
{
    // The factory may go with its last reference here, deleting this frame: touch no member
    // after recycle().
    MFPtr<FrameFactory> owner = std::move(m_owner);
    m_video = nullptr;
    m_audio = nullptr;
    if (owner)
        owner->recycle(this);
    else
        delete this;
}
