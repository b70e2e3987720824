#pragma once

#include "app/LogThrottle.h"
#include "engine/DeliverySink.h"

#include <QtGlobal>

#include <array>
#include <atomic>
#include <memory>

class FrameQueue;
struct FrameRecord;
struct SessionTimeline;

// Decides, at each tick of a session's output clock, what goes to the output: it aligns the
// session to the live edge, flushes on request (and once by itself when the first backlog is
// too long), pops the picture and the audio that are due, skips a backlog of pictures, and
// hands the result to its DeliverySink.
//
// With audio, a tick is driven by timestamps against the session clock: everything due up to
// the clock plus one frame and a small look-ahead goes out, one picture at most. Without audio
// (video only, or audio ignored) each tick shows the oldest queued picture (the queue is held
// under the session's buffer bound as pictures arrive, by VideoBound).
//
// A plain single-threaded class: no threads, no Qt objects, no clock of its own. The delivery
// worker calls tick(); the decoding threads fill the queues and the timeline concurrently
// (both are safe for that); requestReset and the counters from any thread.
class DeliveryPolicy
{
public:
    // What must be queued before a tick delivers, with audio (each kind) and video only.
    static constexpr double kMinQueuedMs = 20.0;
    static constexpr double kMinQueuedVideoOnlyMs = 10.0;
    // The extra look-ahead of a tick beyond one frame duration.
    static constexpr qint64 kLookAheadMs = 5;
    // The queued video above which the one automatic flush of a session happens.
    static constexpr double kAutoResetMs = 700.0;
    // A tick hands out one picture and the clock runs only ~1 % faster than a camera, so the
    // pictures a burst or a stall leaves waiting would drain at 0.3 a second: with more than
    // this still queued after a tick, the oldest are skipped (only ever those older than the
    // newest time at which both kinds have arrived).
    static constexpr int kMaxWaitingPictures = 1;
    // MPEG-TS senders may gather audio into large PES packets (ffmpeg's muxer: about 2930
    // bytes, 180-370 ms of AAC), so their sound arrives in bursts behind the pictures. Pictures
    // waiting for that sound are not a backlog: a session whose sound may lag lets as many wait
    // as the lag it has seen lately spans, up to this much. The seen lag fades by
    // kAudioLagFadeMs per tick, so a sender that stops lagging gets the usual bound back.
    static constexpr double kBurstyAudioWaitMs = 400.0;
    static constexpr double kAudioLagFadeMs = 1.0;
    // The picture buffer (a 4096x2160 picture with padded rows fits) and the audio buffer
    // (240,000 stereo sample frames, 5 s at 48 kHz) of one tick.
    static constexpr int kOutputFrameBytes = 17107200;
    static constexpr int kOutputAudioSamples = 480000;

    struct Session
    {
        int width = 0;
        int height = 0;
        int stride = 0; // luma line size of the first picture: the black picture's too
        double frameMs = 0.0;
        bool videoOnly = false;
        // The sender's sound may arrive in bursts behind its pictures (MPEG-TS): see
        // kBurstyAudioWaitMs.
        bool audioMayLag = false;
    };

    enum class Tick
    {
        Done, // nothing more to do until the next tick
        Idle  // nothing queued: the caller may wait one frame before the next tick
    };

    // Allocates the tick's buffers (the picture black). The queues, the timeline and the sink
    // are not owned and must outlive the policy.
    DeliveryPolicy(const Session &session, FrameQueue &video, FrameQueue &audio,
                   SessionTimeline &timeline, DeliverySink &sink);
    ~DeliveryPolicy();
    DeliveryPolicy(const DeliveryPolicy &) = delete;
    DeliveryPolicy &operator=(const DeliveryPolicy &) = delete;

    // One tick of the output clock.
    Tick tick();
    // Frees the tick's buffers once no tick runs any more (the session's end); the counters
    // stay readable.
    void releaseBuffers();

    // Any thread: both queues are flushed at the next tick (once aligned).
    void requestReset() { m_resetRequested = true; }
    bool resetPending() const { return m_resetRequested.load(); }
    // As after the first alignment; `armAutoReset` as the first alignment does (tests).
    void alignAt_for_testing(qint64 clockMs, bool armAutoReset);

    // Any thread.
    bool aligned() const { return m_aligned.load(); }
    bool autoResetArmed() const { return m_firstResetArmed.load(); }
    qint64 oversizedAudioDrops() const { return m_oversizedAudio.total(); }
    qint64 oversizedPictureDrops() const { return m_oversizedPictures.total(); }
    qint64 catchUpPictureDrops() const { return m_catchUpDrops.load(); }

private:
    Tick videoOnlyTick();
    Tick audioTick();
    bool alignWithAudio();
    void resetBuffers();
    void catchUp();
    // Pictures that may wait after a tick before the oldest are skipped.
    int maxWaitingPictures() const;
    void observeAudioLag();
    // Copies a popped picture into the picture buffer; false (counted) when it does not fit.
    bool takePicture(const FrameRecord &record);
    void send(const qint16 *audio, int samples, int sampleRate, bool newPicture);

    const Session m_session;
    FrameQueue &m_video;
    FrameQueue &m_audio;
    SessionTimeline &m_timeline;
    DeliverySink &m_sink;

    std::atomic<bool> m_aligned{false};
    std::atomic<bool> m_resetRequested{false};
    std::atomic<bool> m_firstResetArmed{false};
    LogThrottle m_oversizedAudio;
    LogThrottle m_oversizedPictures;
    std::atomic<qint64> m_catchUpDrops{0};
    // Worker only: the sound's lag behind the pictures seen lately (audioMayLag sessions).
    double m_audioLagMs = 0.0;

    // The tick's buffers, allocated once per session.
    std::unique_ptr<uchar[]> m_picture;
    int m_pictureStride = 0;
    qint64 m_pictureMs = -1;
    std::unique_ptr<std::array<qint16, kOutputAudioSamples>> m_audioOut;
};
