#include "engine/VideoBound.h"

#include "engine/FrameQueue.h"

void VideoBound::apply(FrameQueue &queue)
{
    if (queue.bufferedMs() <= m_boundMs) {
        m_overLimitCount = 0;
        return;
    }
    if (++m_overLimitCount > 2) {
        queue.dropOldest();
        if (queue.bufferedMs() > m_boundMs)
            queue.dropOldest();
        m_overLimitCount = 0;
    }
}
