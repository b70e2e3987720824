#include "engine/FrameFeeder.h"

#include "engine/EngineLog.h"
#include "engine/FrameQueue.h"
#include "engine/SessionTime.h"
#include "engine/SessionTimeline.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
#include <libavutil/pixdesc.h>
}

#include <cstring>

static_assert(4 * FrameFeeder::kLargestPictureBytes <= FrameFeeder::kVideoBudgetBytes,
              "four of the largest pictures must fit the picture budget");
// Every frame the downmix gives fits the sound budget many times over.
static_assert(64 * 2 * AudioDownmix::kMaxSamples * 4 <= FrameFeeder::kAudioBudgetBytes,
              "the sound budget must hold many converted frames");

FrameFeeder::FrameFeeder(FrameQueue &video, FrameQueue &audio, SessionTimeline &timeline)
    : m_video(video), m_audio(audio), m_timeline(timeline)
{
}

void FrameFeeder::reset(bool ignoreAudio, int maxBufferMs, StartFunction onStart)
{
    m_bound.setBoundMs(maxBufferMs);
    m_onStart = std::move(onStart);
    m_downmix.release();
    m_transferred.reset();
    m_firstPictureLogged = false;
    m_lastWidth = 0;
    m_lastHeight = 0;
    m_lastFormat = -1;
    m_ignoreAudio = ignoreAudio;
    m_audioPoolPending = true;
    m_started = false;
    m_width = 0;
    m_height = 0;
    m_fps = 0;
    m_frameMs = 0.0;
    m_converted = 0;
    m_hasDisplayMatrix = false;
}

void FrameFeeder::release()
{
    m_downmix.release();
    m_transferred.reset();
}

void FrameFeeder::start(const AVFrame *frame, AVRational frameRate)
{
    m_width = frame->width;
    m_height = frame->height;
    const int fps = sessiontime::detectFps(frameRate);
    m_fps = fps;
    qCInfo(lcEngine) << "auto-detect fps:" << float(frameRate.num) / float(frameRate.den) << fps;
    qCInfo(lcEngine) << "NEW VB:" << frame->width << frame->height
                     << av_get_pix_fmt_name(AVPixelFormat(frame->format))
                     << "FRAME INFO:" << frame->linesize[0] << frame->linesize[1]
                     << frame->linesize[2];
    if (!m_video.setBudget(kVideoBudgetBytes, kMaxVideoFrames))
        qCWarning(lcEngine) << "-- WARN: picture queue has no budget";
    m_frameMs = 1000.0 / fps;

    Format format;
    format.width = frame->width;
    format.height = frame->height;
    format.fps = fps;
    format.frameMs = m_frameMs.load();
    format.frameRate = frameRate;
    if (m_onStart)
        m_onStart(format);
    m_started = true;
}

AVFrame *FrameFeeder::readable(AVFrame *frame)
{
    if (!frame->hw_frames_ctx) {
        if (av_pix_fmt_desc_get(AVPixelFormat(frame->format)))
            return frame;
        if (m_unusable.count())
            qCWarning(lcEngine) << "-- WARN: picture of an unknown format dropped" << frame->format
                                << m_unusable.total();
        return nullptr;
    }
    // A hardware surface: the one copy such a picture needs, into memory the output reads.
    if (!m_transferred)
        m_transferred.reset(av_frame_alloc());
    int result =
        m_transferred ? av_hwframe_transfer_data(m_transferred.get(), frame, 0) : AVERROR(ENOMEM);
    if (result >= 0)
        result = av_frame_copy_props(m_transferred.get(), frame);
    if (result < 0) {
        if (m_transferred)
            av_frame_unref(m_transferred.get());
        if (m_unusable.count())
            qCWarning(lcEngine) << "-- WARN: hardware picture not transferred, dropped:"
                                << ffmpeg::errorText(result).c_str() << m_unusable.total();
        return nullptr;
    }
    m_converted.fetch_add(1);
    return m_transferred.get();
}

qint64 FrameFeeder::feedPicture(AVFrame *frame, AVRational timeBase, AVRational frameRate,
                                bool measured)
{
    // The decoding stage refuses such a session; nothing is sized for its pictures meanwhile.
    if (!PictureLimit::fits(frame->width, frame->height))
        return -1;
    if (!m_started) {
        // A negative term is as unusable as a zero one: it would give an output rate of 0.
        if (frameRate.num <= 0 || frameRate.den <= 0) {
            qCDebug(lcEngine) << "BAD FPS";
            return -1;
        }
        start(frame, frameRate);
    }
    if (!m_firstPictureLogged) {
        m_firstPictureLogged = true;
        qCInfo(lcEngine) << "-- FIRST VIDEO PTS:" << frame->pts;
    }
    if (!m_hasDisplayMatrix.load(std::memory_order_relaxed)) {
        const AVFrameSideData *side = av_frame_get_side_data(frame, AV_FRAME_DATA_DISPLAYMATRIX);
        if (side && side->size >= sizeof(m_displayMatrix)) {
            std::memcpy(m_displayMatrix, side->data, sizeof(m_displayMatrix));
            m_hasDisplayMatrix.store(true, std::memory_order_release);
        }
    }

    // A picture without a usable time cannot be placed on the session clock.
    const qint64 ptsMs = sessiontime::ptsToMs(frame->pts, timeBase);
    if (ptsMs == AV_NOPTS_VALUE)
        return -1;
    const qint64 t = ptsMs - m_timeline.startPtsMs.load();

    if (m_lastFormat >= 0 && (frame->width != m_lastWidth || frame->height != m_lastHeight ||
                              frame->format != m_lastFormat))
        qCInfo(lcEngine) << "-- PICTURE CHANGED:" << frame->width << frame->height
                         << av_get_pix_fmt_name(AVPixelFormat(frame->format));
    m_lastWidth = frame->width;
    m_lastHeight = frame->height;
    m_lastFormat = frame->format;

    bool admitted = true;
    if (m_ignoreAudio) {
        m_bound.apply(m_video);
    } else {
        // With audio, a picture behind the delivery clock by more than two frames comes too
        // late to be shown in step with its sound.
        const double limit = double(m_timeline.clockMs.load()) - 2 * m_frameMs.load();
        admitted = double(t) > limit;
        if (!admitted)
            qCDebug(lcEngine) << "-- old video frame" << t << m_timeline.clockMs.load() << limit;
    }
    if (!admitted)
        return -1;
    AVFrame *picture = readable(frame);
    if (!picture || !m_video.push(picture, t, m_frameMs.load(),
                                  measured ? FrameQueue::kArrivalNow : FrameQueue::kArrivalUnknown))
        return -1;
    m_timeline.lastVideoMs = t;
    return t;
}

void FrameFeeder::feedAudio(AVFrame *frame, AVRational timeBase)
{
    // The sound queue gets its slots with the first audio, so an intake without audio never
    // holds them.
    if (m_audioPoolPending) {
        if (!m_audio.setBudget(kAudioBudgetBytes, kMaxAudioFrames))
            qCWarning(lcEngine) << "-- WARN: sound queue has no budget";
        m_audioPoolPending = false;
    }
    const qint64 pts = frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
    const qint64 ms = sessiontime::ptsToMs(pts, timeBase);
    if (ms == AV_NOPTS_VALUE)
        return;
    const qint64 t = ms - m_timeline.startPtsMs.load();
    const qint64 clock = m_timeline.clockMs.load();
    if (t <= clock) {
        qCDebug(lcEngine) << "-- old audio frame" << t << clock;
        return;
    }
    // Converted after the age check, so a frame that is not queued costs no conversion.
    AVFrame *sound = m_downmix.convert(frame);
    if (sound && m_audio.push(sound, t, 0.0))
        m_timeline.lastAudioMs = t;
}
