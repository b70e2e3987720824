#pragma once

#include "app/LogThrottle.h"
#include "engine/AudioDownmix.h"
#include "engine/FfmpegPtr.h"
#include "engine/PictureLimit.h"
#include "engine/VideoBound.h"

#include <QtGlobal>

#include <atomic>
#include <functional>

struct AVFrame;
class FrameQueue;
struct SessionTimeline;

// Puts a session's decoded frames on the session clock and into its frame queues, as
// references to the decoder's own buffers: the engine neither copies nor converts a picture (the
// output converts it once, to what it shows). The first usable picture fixes the session's
// picture size (its state text) and frame rate, sets the picture queue's budget and reports
// the format (the session then starts its delivery); later pictures of another size or format go
// on as they are. A picture in a hardware surface, which the output cannot read, is brought into
// memory (counted). With audio, frames older than the delivery clock are not queued; without,
// the picture queue is held under the session's buffer bound.
//
// Threads: feedPicture on the video decoding thread, feedAudio on the audio decoding thread;
// reset and release on the manager thread while neither runs; the getters from any thread.
class FrameFeeder
{
public:
    // The picture queue of a session is a byte budget (of the decoder's buffers it holds), so
    // that the publisher's picture size does not choose the memory a session takes: at 1080p30
    // it holds 700 ms of pictures, the largest delay with audio
    // (DeliveryPolicy::kMaxDelayWithAudioMs) and most of a backlog over it. A queue that is
    // full refuses the new picture (counted), whatever its size.
    static constexpr qint64 kVideoBudgetBytes = qint64(64) * 1024 * 1024;
    // Never more pictures than a small picture ever needs (2 s at 30 fps).
    static constexpr int kMaxVideoFrames = 60;
    // Four of the largest picture PictureLimit lets through (one shown, one being decoded,
    // two waiting), with the decoder's row alignment and edges, fit the budget.
    static constexpr qint64 kLargestPictureBytes =
        qint64(PictureLimit::kMaxLongSide + 64) * (PictureLimit::kMaxShortSide + 64) * 3 / 2;
    // Sound: 20 s of 48 kHz stereo float, and enough frames for 1.2 s of the shortest ones a
    // codec sends (Opus, 2.5 ms): beyond the most the delivery keeps (DeliveryPolicy's
    // kMaxQueuedMs), still bounded for a camera sending faster than real time.
    static constexpr qint64 kAudioBudgetBytes = qint64(8) * 1024 * 1024;
    static constexpr int kMaxAudioFrames = 512;

    struct Format
    {
        int width = 0;
        int height = 0;
        int fps = 0;
        double frameMs = 0.0;
        AVRational frameRate{0, 1}; // the stream's exact rate
    };
    using StartFunction = std::function<void(const Format &format)>;

    FrameFeeder(FrameQueue &video, FrameQueue &audio, SessionTimeline &timeline);

    // Manager thread, before decoding starts. Without audio the picture queue is held under
    // `maxBufferMs`. `onStart` runs on the video decoding thread once, when the first usable
    // picture has fixed the format.
    void reset(bool ignoreAudio, int maxBufferMs, StartFunction onStart);
    void setIgnoreAudio(bool ignoreAudio) { m_ignoreAudio = ignoreAudio; }

    // Video decoding thread: the session time at which the picture was queued, or -1. A
    // queued picture's reference moves into the queue (`frame` is left blank). A picture that
    // is late for a reason of our own (decoded in a catch-up) is not `measured`: its lateness
    // says nothing of the link.
    qint64 feedPicture(AVFrame *frame, AVRational timeBase, AVRational frameRate,
                       bool measured = true);
    // Audio decoding thread; the frame's reference moves into the queue likewise.
    void feedAudio(AVFrame *frame, AVRational timeBase);

    // Manager thread, after decoding has ended: frees the sound conversion.
    void release();

    // Any thread.
    bool started() const { return m_started.load(); }
    // Pictures the output could not have read as decoded (hardware surfaces) brought into
    // memory, and pictures dropped because that failed or their format is unknown.
    qint64 convertedPictures() const { return m_converted.load(); }
    qint64 unusablePictures() const { return m_unusable.total(); }
    int width() const { return m_width.load(); }
    int height() const { return m_height.load(); }
    int fps() const { return m_fps.load(); }
    double frameMs() const { return m_frameMs.load(); }
    // Any thread: the publisher's display matrix (nine values, FFmpeg's layout) from the first
    // picture of the session that carried one, or null. A camera sends it with its first
    // picture only, and that picture may never be shown (late, or replaced on the way), so
    // it is kept here, where every decoded picture passes.
    const qint32 *displayMatrix() const
    {
        return m_hasDisplayMatrix.load(std::memory_order_acquire) ? m_displayMatrix : nullptr;
    }

private:
    void start(const AVFrame *frame, AVRational frameRate);
    // The picture as the output can read it: `frame` itself, or its copy out of a hardware
    // surface; null (counted) when there is none.
    AVFrame *readable(AVFrame *frame);

    FrameQueue &m_video;
    FrameQueue &m_audio;
    SessionTimeline &m_timeline;
    StartFunction m_onStart;  // manager thread before decoding, then video decoding thread
    AVFramePtr m_transferred; // video decoding thread
    LogThrottle m_unusable;   // video decoding thread
    int m_lastWidth = 0;      // video decoding thread: the latest picture's size
    int m_lastHeight = 0;     // and format, to log a change once
    int m_lastFormat = -1;
    AudioDownmix m_downmix;            // audio decoding thread
    VideoBound m_bound;                // video decoding thread
    bool m_firstPictureLogged = false; // video decoding thread

    std::atomic<bool> m_ignoreAudio{false};
    std::atomic<bool> m_audioPoolPending{true}; // audio decoding thread
    // Written once by the video decoding thread at the first usable picture.
    std::atomic<bool> m_started{false};
    std::atomic<int> m_width{0};
    std::atomic<int> m_height{0};
    std::atomic<int> m_fps{0};
    std::atomic<qint64> m_converted{0};
    std::atomic<double> m_frameMs{0.0};
    // Written by the video decoding thread before m_hasDisplayMatrix is set; then read only.
    qint32 m_displayMatrix[9] = {};
    std::atomic<bool> m_hasDisplayMatrix{false};
};
