#pragma once

#include "engine/AudioDownmix.h"
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
    // The picture pool of a session is a byte budget, so that the publisher's picture size
    // does not choose the memory a session takes: at 1080p30 it holds 700 ms of pictures, the
    // largest delay with audio (DeliveryPolicy::kMaxDelayWithAudioMs) and most of a backlog
    // over it. A pool that is full drops the new picture (counted), as a full queue does.
    static constexpr qint64 kVideoPoolBytes = qint64(64) * 1024 * 1024;
    // Never fewer blocks than one shown, one being written and two waiting (four of the
    // largest picture PictureLimit lets through still fit the budget), never more than
    // a small picture ever needs.
    static constexpr int kMinVideoBlocks = 4;
    static constexpr int kMaxVideoBlocks = 60;
    static constexpr int kAudioBlocks = 30;
    static constexpr int kAudioBlockBytes = 0x28000;

    // Bytes of one picture block: the picture in luma line size `lineSize` (or in packed rows
    // when that is smaller), chroma rows half the luma rows.
    static constexpr qint64 videoBlockBytes(int width, int lineSize, int height)
    {
        const qint64 packed = (qint64(width) + 1) & ~qint64(1);
        const qint64 luma = (lineSize > packed ? qint64(lineSize) : packed) & ~qint64(1);
        return luma * height + 2 * (luma / 2) * ((qint64(height) + 1) / 2);
    }
    // Blocks of `blockBytes` the pool gets: as many as the budget holds, within the bounds.
    static constexpr int videoBlockCount(qint64 blockBytes)
    {
        const qint64 fit = blockBytes > 0 ? kVideoPoolBytes / blockBytes : kMaxVideoBlocks;
        return int(fit < kMinVideoBlocks ? kMinVideoBlocks
                                         : (fit > kMaxVideoBlocks ? kMaxVideoBlocks : fit));
    }

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

    // Manager thread, after decoding has ended: frees the picture and sound conversions.
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
    std::atomic<int> m_stride{0}; // luma line size of the latest queued picture
    std::atomic<double> m_frameMs{0.0};
};
