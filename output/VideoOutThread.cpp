#include "output/VideoOutThread.h"

#include "output/OutputLog.h"

extern "C" {
#include <libavutil/frame.h>
}

#include <algorithm>
#include <chrono>

VideoOutThread::VideoOutThread(PictureHandler onPicture, TickHandler onTick, int tickIntervalMs)
    : m_onPicture(std::move(onPicture)), m_onTick(std::move(onTick)),
      m_tickIntervalMs(std::max(1, tickIntervalMs))
{
    setObjectName(QStringLiteral("quorvix-videoout"));
}

VideoOutThread::~VideoOutThread()
{
    stop();
}

void VideoOutThread::stop()
{
    m_stopping.store(true);
    requestInterruption();
    m_mailbox.interrupt();
    if (!isRunning())
        return;
    if (wait(kStopWaitMs))
        return;
    qCWarning(lcOutput) << "output: the video-out thread is still in a backend after" << kStopWaitMs
                        << "ms; waiting for it to return";
    wait();
}

void VideoOutThread::run()
{
    using Clock = std::chrono::steady_clock;
    const std::chrono::milliseconds interval(m_tickIntervalMs);
    // Holds the picture taken from the mailbox; allocated once for the thread's life.
    AVFrame *picture = av_frame_alloc();
    if (!picture) {
        qCCritical(lcOutput) << "output: av_frame_alloc failed; the video-out thread stops";
        return;
    }
    Clock::time_point nextTick = Clock::now() + interval;
    while (!m_stopping.load()) {
        const Clock::time_point now = Clock::now();
        if (now >= nextTick) {
            nextTick += interval;
            // Fallen behind (a long put): the next tick is one interval from now, no burst.
            if (nextTick <= now)
                nextTick = now + interval;
            try {
                m_onTick();
            } catch (...) {
                qCWarning(lcOutput) << "output: the video-out thread's tick failed";
            }
            continue;
        }
        const auto untilTick =
            std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - now) +
            std::chrono::milliseconds(1);
        if (!m_mailbox.take(picture, untilTick))
            continue;
        try {
            m_onPicture(*picture);
        } catch (...) {
            qCWarning(lcOutput) << "output: the video-out thread's picture failed";
        }
        ++m_handled;
        // Gives the decoder's buffer back now rather than with the next picture.
        av_frame_unref(picture);
    }
    av_frame_free(&picture);
}
