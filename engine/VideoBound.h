#pragma once

class FrameQueue;

// Holds a video-only session's picture queue under its buffer bound (MAX_BUFFER_MS, or
// MAX_BUFFER_IA_MS when audio is ignored). Applied before each picture is queued: a queue above
// the bound for three arrivals in a row loses its oldest picture, and a second one when it is
// still above the bound; a single arrival at or below the bound restarts the count. Without
// audio there is no clock to throw late pictures away, so this is what keeps a camera that
// sends faster than real time from building up seconds of delay.
//
// Threads: the video decoding thread (the queue's producer; dropping is safe there).
class VideoBound
{
public:
    void setBoundMs(int boundMs)
    {
        m_boundMs = boundMs;
        m_overLimitCount = 0;
    }
    void apply(FrameQueue &queue);
    int overLimitCount() const { return m_overLimitCount; }

private:
    int m_boundMs = 2000;
    int m_overLimitCount = 0;
};
