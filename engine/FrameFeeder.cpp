#include "engine/FrameFeeder.h"

#include "engine/EngineLog.h"
#include "engine/FrameQueue.h"
#include "engine/PictureLimit.h"
#include "engine/SessionTime.h"
#include "engine/SessionTimeline.h"

extern "C" {
#include <libavutil/frame.h>
}

// Even the largest picture that passes gets its minimum of blocks within the budget.
static_assert(FrameFeeder::kMinVideoBlocks *
                      FrameFeeder::videoBlockBytes(PictureLimit::kMaxLongSide,
                                                   PictureLimit::kMaxLongSide,
                                                   PictureLimit::kMaxShortSide) <=
                  FrameFeeder::kVideoPoolBytes,
              "the picture pool's minimum must fit its budget");
// Every frame the downmix lets through fits an audio block.
static_assert(2 * AudioDownmix::kMaxSamples * 4 <= FrameFeeder::kAudioBlockBytes,
              "a converted sound frame must fit an audio block");

FrameFeeder::FrameFeeder(FrameQueue &video, FrameQueue &audio, SessionTimeline &timeline)
    : m_video(video), m_audio(audio), m_timeline(timeline)
{
}

void FrameFeeder::reset(bool ignoreAudio, int maxBufferMs, StartFunction onStart)
{
    m_bound.setBoundMs(maxBufferMs);
    m_onStart = std::move(onStart);
    m_converter.reset();
    m_downmix.release();
    m_firstPictureLogged = false;
    m_ignoreAudio = ignoreAudio;
    m_audioPoolPending = true;
    m_started = false;
    m_width = 0;
    m_height = 0;
    m_fps = 0;
    m_stride = 0;
    m_frameMs = 0.0;
}

void FrameFeeder::release()
{
    m_converter.release();
    m_downmix.release();
}

void FrameFeeder::start(const AVFrame *frame, AVRational timeBase, AVRational frameRate)
{
    m_width = frame->width;
    m_height = frame->height;
    m_stride = frame->linesize[0];
    m_converter.setTarget(frame->width, frame->height);
    m_converter.prepare(frame, timeBase);

    const int fps = sessiontime::detectFps(frameRate);
    m_fps = fps;
    qCInfo(lcEngine) << "auto-detect fps:" << float(frameRate.num) / float(frameRate.den) << fps;

    // A block takes the picture in the decoder's line sizes (chroma rows half the luma rows)
    // or, for pictures whose line sizes do not allow that, in packed rows; converted pictures
    // bring line sizes of their own, so the block is sized for whichever is larger.
    // The picture has passed PictureLimit, so the block is far below 2 GB.
    const int blockSize = int(videoBlockBytes(frame->width, frame->linesize[0], frame->height));
    const int blocks = videoBlockCount(blockSize);
    qCInfo(lcEngine) << "NEW VB:" << frame->width << frame->height << blockSize << blocks
                     << "FRAME INFO:" << frame->linesize[0] << frame->linesize[1]
                     << frame->linesize[2];
    // A fixed pool: it never grows past the budget, whatever the publisher sends.
    if (!m_video.allocateBlocks(blocks, blockSize, 0))
        qCWarning(lcEngine) << "-- WARN: picture pool not allocated:" << blocks << "blocks of"
                            << blockSize << "bytes";
    m_frameMs = 1000.0 / fps;

    Format format;
    format.width = frame->width;
    format.height = frame->height;
    format.stride = frame->linesize[0];
    format.fps = fps;
    format.frameMs = m_frameMs.load();
    format.frameRate = frameRate;
    if (m_onStart)
        m_onStart(format);
    m_started = true;
}

qint64 FrameFeeder::feedPicture(AVFrame *frame, AVRational timeBase, AVRational frameRate)
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
        start(frame, timeBase, frameRate);
    }
    if (!m_firstPictureLogged) {
        m_firstPictureLogged = true;
        qCInfo(lcEngine) << "-- FIRST VIDEO PTS:" << frame->pts;
    }

    // A picture without a usable time cannot be placed on the session clock.
    const qint64 ptsMs = sessiontime::ptsToMs(frame->pts, timeBase);
    if (ptsMs == AV_NOPTS_VALUE)
        return -1;
    const qint64 t = ptsMs - m_timeline.startPtsMs.load();

    AVFrame *picture = frame;
    if (m_converter.needed(frame)) {
        picture = m_converter.convert(frame, timeBase);
        if (!picture)
            return -1;
    }

    qint64 queued = -1;
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
    if (admitted) {
        int stride = 0;
        FrameQueue::videoBytes(picture, &stride, nullptr);
        if (m_video.push(picture, t, m_frameMs.load())) {
            m_timeline.lastVideoMs = t;
            m_stride = stride;
            queued = t;
        }
    }
    if (picture != frame)
        m_converter.finish();
    return queued;
}

void FrameFeeder::feedAudio(AVFrame *frame, AVRational timeBase)
{
    // The audio pool is made with the first audio, so an intake without audio never holds it.
    if (m_audioPoolPending) {
        m_audio.allocateBlocks(kAudioBlocks, kAudioBlockBytes);
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
    const AVFrame *sound = m_downmix.convert(frame);
    if (sound && m_audio.push(sound, t, 0.0))
        m_timeline.lastAudioMs = t;
}
