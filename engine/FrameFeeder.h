#pragma once

#include "engine/PictureConverter.h"
#include "engine/VideoBound.h"

#include <QtGlobal>

#include <atomic>
#include <functional>

struct AVFrame;
class FrameQueue;
struct SessionTimeline;

// Puts a session's decoded frames on the session clock and into its frame queues. The first
// usable picture fixes the session's picture size and frame rate, sizes the picture pool and
// reports the format (the session then starts its delivery); later pictures of another size
// or format are converted to it. With audio, frames older than the delivery clock are not
// queued; without, the picture queue is held under the session's buffer bound.
//
// Threads: feedPicture on the video decoding thread, feedAudio on the audio decoding thread;
// reset and release on the manager thread while neither runs; the getters from any thread.
class FrameFeeder
{
public:
    // Pool block counts and sizes.
    static constexpr int kVideoBlocks = 60;
    static constexpr int kAudioBlocks = 30;
    static constexpr int kAudioBlockBytes = 0x28000;

    struct Format
    {
        int width = 0;
        int height = 0;
        int stride = 0; // luma line size of the first picture
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

    // Video decoding thread: the session time at which the picture was queued, or -1.
    qint64 feedPicture(AVFrame *frame, AVRational timeBase, AVRational frameRate);
    // Audio decoding thread.
    void feedAudio(AVFrame *frame, AVRational timeBase);

    // Manager thread, after decoding has ended: frees the conversion graph.
    void release();

    // Any thread.
    bool started() const { return m_started.load(); }
    bool useConversion() const { return m_converter.used(); }
    int width() const { return m_width.load(); }
    int height() const { return m_height.load(); }
    int fps() const { return m_fps.load(); }
    int stride() const { return m_stride.load(); }
    double frameMs() const { return m_frameMs.load(); }

private:
    void start(const AVFrame *frame, AVRational timeBase, AVRational frameRate);

    FrameQueue &m_video;
    FrameQueue &m_audio;
    SessionTimeline &m_timeline;
    StartFunction m_onStart;           // manager thread before decoding, then video decoding thread
    PictureConverter m_converter;      // video decoding thread
    VideoBound m_bound;                // video decoding thread
    bool m_firstPictureLogged = false; // video decoding thread

    std::atomic<bool> m_ignoreAudio{false};
    std::atomic<bool> m_audioPoolPending{true}; // audio decoding thread
    // Written once by the video decoding thread at the first usable picture.
    std::atomic<bool> m_started{false};
    std::atomic<int> m_width{0};
    std::atomic<int> m_height{0};
    std::atomic<int> m_fps{0};
    std::atomic<int> m_stride{0}; // luma line size of the latest queued picture
    std::atomic<double> m_frameMs{0.0};
};
