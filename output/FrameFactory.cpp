#include "output/FrameFactory.h"

#include "output/MemoryFrame.h"

FrameFactory::FrameFactory()
{
    m_free.reserve(kPoolFrames);
}

FrameFactory::~FrameFactory()
{
    for (MemoryFrame *frame : m_free)
        delete frame;
}

int FrameFactory::createFromMemory(const MFFrameProps *props, const uchar *video, qint64, qint64,
                                   IMFFrame **frame, const QString &)
{
    if (!frame)
        return kMfPointer;
    *frame = nullptr;
    if (!props || !video)
        return kMfInvalidArg;
    MemoryFrame *made = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_free.empty()) {
            made = m_free.back();
            m_free.pop_back();
        }
    }
    if (!made)
        made = new MemoryFrame;
    made->assign(this, *props, video);
    made->addRef();
    *frame = made;
    return kMfOk;
}

void FrameFactory::recycle(MemoryFrame *frame)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (static_cast<int>(m_free.size()) < kPoolFrames) {
            m_free.push_back(frame);
            return;
        }
    }
    delete frame;
}
