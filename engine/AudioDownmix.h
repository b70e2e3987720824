#pragma once

#include "app/LogThrottle.h"
#include "engine/FfmpegPtr.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
}

#include <memory>

// Turns a decoded sound frame of any sample format and channel layout into what the audio
// queue takes, at the same sample rate: planar float, mono kept mono (the delivery puts it on
// both sides, so the microphone stays one stereo node whatever the camera sends), stereo kept
// stereo, and more channels downmixed to stereo: centre and surrounds reach the sides at -3 dB,
// the LFE both sides at -6 dB. Planar float mono or stereo, the usual AAC case, passes through
// untouched.
//
// The resampler is set up only when the input's layout, sample format or rate changes, and
// converted frames take their planes from a pool of kMaxSamples-per-channel buffers: a frame
// the queue holds keeps its planes, and they return to the pool when it lets the frame go, so
// nothing is allocated per frame once the pool holds what the queue keeps. A frame that cannot
// be converted is dropped, counted and logged now and then.
//
// Threads: convert on the audio decoding thread; release on the manager thread while audio
// decoding does not run; drops() from any thread.
class AudioDownmix
{
public:
    // Per channel, far beyond any codec's frame (AAC 1024, MP3 1152, Opus 2880 at most).
    static constexpr int kMaxSamples = 16384;
    // The resampler's limit.
    static constexpr int kMaxChannels = 64;
    // The LFE's level in the mix, which the resampler spreads over both sides at a further
    // -3 dB each. The matrix is not normalised: the float output may exceed full scale, and
    // the output's one conversion clamps, so speech keeps its level.
    static constexpr double kLfeMixLevel = 0.70710678118654752440;

    AudioDownmix() = default;
    ~AudioDownmix();
    AudioDownmix(const AudioDownmix &) = delete;
    AudioDownmix &operator=(const AudioDownmix &) = delete;

    // `frame` itself when it is already planar float mono or stereo; else the converted frame
    // (reference-counted; the frame is owned here and its reference may be moved away, and it
    // is valid until the next call), or null when the frame was dropped.
    AVFrame *convert(AVFrame *frame);
    // The session's end or a new session: frees the resampler and the output buffer and
    // forgets the input format.
    void release();

    // Any thread: frames dropped since this object was made.
    qint64 drops() const { return m_drops.total(); }

private:
    static void freePool(AVBufferPool *pool) { av_buffer_pool_uninit(&pool); }
    // Sets up the resampler for `layout` (already resolved; `map`, when not null, names the
    // input channel of each of its channels) in `frame`'s format and rate; false (logged) when
    // it failed.
    bool prepare(const AVFrame *frame, const AVChannelLayout &layout, const int *map);
    // Points m_out at fresh planes from the pool for `channels` channels.
    bool takeOutput(int channels);
    void drop(const AVFrame *frame, const char *reason, int error = 0);

    SwrContextPtr m_swr;
    std::unique_ptr<AVBufferPool, void (*)(AVBufferPool *)> m_pool{nullptr, &freePool};
    AVFramePtr m_out;
    // The input format the resampler was made for (or last failed for).
    AVChannelLayout m_inLayout{};
    int m_inFormat = -1;
    int m_inRate = 0;
    bool m_inFailed = false;
    // For a custom channel order: the input channel of each channel of m_inLayout. The
    // resampler reads it through its own pointer for as long as it lives.
    int m_channelMap[kMaxChannels] = {};
    bool m_mapped = false;
    LogThrottle m_drops;
    LogThrottle m_changes;
};
