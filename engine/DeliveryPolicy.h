#pragma once

#include "app/LogThrottle.h"
#include "engine/DeliverySink.h"
#include "engine/FfmpegPtr.h"
#include "engine/PlayoutDelay.h"

#include <QtGlobal>

#include <atomic>
#include <memory>

class FrameQueue;
struct FrameRecord;
struct SessionTimeline;

// Decides, at each tick of a session's output clock, what goes to the output. It aligns the
// session to the live edge, flushes on request (and once by itself when the first backlog is
// too long), and plays the queued pictures and audio out on one playout clock: a frame with
// session time t is due at wall time t + offset.
//
// The offset is chosen from the arrival jitter measured on both kinds (PlayoutDelay): small on
// a clean link, larger on a bursty one, never above the session's bound. Audio is released on
// the audio offset, the earliest at which nearly all audio is there in time; pictures are shown
// on the picture offset, which follows the audio offset plus the delay the audio output adds
// (the microphone's reserve and its server's quantum) less the 20 ms sound may lag, so that
// what is heard and what is seen match: with a microphone, pictures follow the audio device. A
// picture that comes late is shown at once and the picture on show stays a little longer (counted
// as repeated); the clock stays, so sound and picture stay together, and lateness that keeps coming
// raises the measured jitter and with it the delay. A backlog (after a stall) is worked off by
// showing pictures up to kMaxSpeedUp faster than the stream, and only the part beyond kMaxBacklogMs
// is skipped. Audio is never sped up: audio that comes later than kLateAudioMs after its time
// (after a stall, whose time the microphone has already filled with silence) is dropped, counted.
//
// Sound is measured per arrival: frames that come together (a TS muxer gathers a few hundred ms
// of sound in one packet) count as one, late by their oldest frame, so a camera that sends its
// sound in bursts is played whole with its burst's delay, and the pictures wait for it. Sound's
// delay covers every arrival (not a percentile: a late frame is a gap), goes up at once when
// sound comes later, and down by at most kAudioDriftRate of the time passing: the microphone
// takes up the difference by playing imperceptibly faster instead of cutting it out.
//
// Video-only sessions (no audio, or audio ignored) run on the same clock without the audio
// half; their bound is the session's buffer setting.
//
// The clock ticks every kTickMs, much more often than the frame rate: a picture goes out at
// the first tick at or after its time, so ticks add at most kTickMs to its delay. Each tick
// sends at most one picture; audio due at a tick without a picture goes out alone. Ticks
// before idleUntilMs() would do nothing, and may be left out.
//
// A plain single-threaded class: no threads, no Qt objects, no clock of its own (the caller
// passes the monotonic time). The delivery worker calls tick(); the decoding threads fill the
// queues and the timeline concurrently (both are safe for that); requestReset, the audio
// output delay and the counters from any thread.
class DeliveryPolicy
{
public:
    // Tick period of the output clock.
    static constexpr int kTickMs = 4;
    // The playout delay never goes below one tick, and adds this margin to the jitter.
    static constexpr qint64 kMinDelayMs = kTickMs;
    static constexpr qint64 kMarginMs = 2;
    // Sound's margin beyond the latest it has come: a frame later than that is a gap, and a
    // busy computer decodes a little later now and then than it did over the last seconds.
    static constexpr qint64 kAudioMarginMs = 15;
    // With audio there is no configured bound; the delay stays below the automatic flush.
    static constexpr qint64 kMaxDelayWithAudioMs = 500;
    // How much faster than the stream pictures are shown while a backlog is worked off, and
    // how much slower while the delay grows to a larger goal.
    static constexpr double kMaxSpeedUp = 0.25;
    static constexpr double kMaxSlowDown = 0.10;
    // A backlog beyond this (over the goal) is skipped rather than worked off: at the largest
    // speed-up it takes a second, so that the output is live again soon after a stall.
    static constexpr qint64 kMaxBacklogMs = 250;
    // The most either queue may hold with audio: the largest delay and the largest backlog
    // worked off over it. A live camera's queue holds its delay's worth (a few tens of ms on a
    // clean link), after a stall up to the backlog bound more; only a camera sending far faster
    // than real time (a flood) queues more, and its oldest frames go (counted), so that it
    // cannot take more memory than a live stream may need.
    static constexpr qint64 kMaxQueuedMs = kMaxDelayWithAudioMs + kMaxBacklogMs;
    // Sound may come this much after its picture unnoticed (lip sync tolerates late sound far
    // better than early sound): audio is handed to the microphone its delay less this ahead of
    // its picture. Measured through a recorder, handing it over the whole delay ahead put the
    // sound 14 ms before its picture (the reserve is not always full).
    static constexpr int kAudioLateToleranceMs = 20;
    // Audio this late after its time is dropped.
    static constexpr qint64 kLateAudioMs = 60;
    // How fast sound's delay comes down once it plays: a fifth of a per cent of the time passing,
    // which the microphone's rate matching absorbs without a cut.
    static constexpr double kAudioDriftRate = 0.002;
    // Audio frames that arrive within this of each other came in one packet.
    static constexpr qint64 kPacketGapMs = 3;
    // Sound starts this long after its first arrival, once a few packets have been measured and
    // its delay has not risen by more than kAudioSteadyMs for as long; at the latest after
    // kMaxAudioWarmUpMs.
    static constexpr qint64 kAudioWarmUpMs = 500;
    static constexpr qint64 kAudioSteadyMs = 10;
    static constexpr qint64 kMaxAudioWarmUpMs = 3000;
    // The goal moves only when the measured one differs by more than this: no dithering.
    static constexpr qint64 kGoalHysteresisMs = 3;
    // The queued video above which the one automatic flush of a session happens.
    static constexpr double kAutoResetMs = 700.0;
    // The audio buffer of one tick, per channel: 5 s at 48 kHz. Several queued frames due at one
    // tick are gathered here, so that the output gets one call per tick with all its sound.
    static constexpr int kOutputAudioSamples = 240000;
    static constexpr int kOutputAudioChannels = 2;

    struct Session
    {
        double frameMs = 0.0;
        bool videoOnly = false;
        int maxDelayMs = 2000; // video only: the buffer bound of the settings
    };

    enum class Tick
    {
        Done, // nothing more to do until the next tick
        Idle  // nothing queued: the caller may pause before the next tick
    };

    // What the playout is doing; any thread.
    struct Stats
    {
        qint64 delayMs = -1;      // how far the pictures run behind their earliest arrival
        qint64 jitterMs = 0;      // measured picture arrival jitter (95th percentile)
        qint64 skipped = 0;       // pictures skipped (backlog beyond the bound)
        qint64 repeated = 0;      // frame slots the picture on show was kept for (a late picture)
        qint64 lateAudio = 0;     // audio frames dropped as late (or beyond kMaxQueuedMs)
        qint64 shown = 0;         // pictures shown
        qint64 audioDelayMs = -1; // how far sound runs behind its earliest arrival
        qint64 audioBurstMs = 0;  // sound a packet usually holds beyond its newest frame
    };

    // Allocates the tick's buffers. The queues, the timeline and the sink are not owned and
    // must outlive the policy.
    DeliveryPolicy(const Session &session, FrameQueue &video, FrameQueue &audio,
                   SessionTimeline &timeline, DeliverySink &sink);
    ~DeliveryPolicy();
    DeliveryPolicy(const DeliveryPolicy &) = delete;
    DeliveryPolicy &operator=(const DeliveryPolicy &) = delete;

    // One tick of the output clock at monotonic time `nowMs`.
    Tick tick(qint64 nowMs);
    // Delivery thread, after a tick at `nowMs`: the earliest time at which a later tick could
    // do anything, unless a frame comes into an empty queue, a flush is asked for, or the audio
    // output's delay changes (each of those wakes the caller or is taken at that time). nowMs
    // while the time alone decides (before the alignment, sound's warm-up, a backlog, a frame
    // already due), the largest qint64 with nothing queued. Conservative: the offsets are
    // taken to fall as fast as they ever may, so the caller may sleep until then and ticks
    // do what they would have done at every kTickMs.
    qint64 idleUntilMs(qint64 nowMs) const;
    // Frees the tick's buffers once no tick runs any more (the session's end); the counters
    // stay readable.
    void releaseBuffers();

    // Any thread: both queues are flushed at the next tick (once aligned).
    void requestReset() { m_resetRequested = true; }
    bool resetPending() const { return m_resetRequested.load(); }
    // Any thread: how long the audio output holds audio before it is heard (0: no audio
    // output); pictures are held as long, so that both come out together.
    void setAudioOutputDelayMs(int ms) { m_audioOutputDelayMs = qBound(0, ms, 200); }
    // As after the first alignment at `nowMs` and sound's warm-up, with the output at session
    // time `clockMs`; `armAutoReset` as the first alignment does (tests).
    void alignAt_for_testing(qint64 nowMs, qint64 clockMs, bool armAutoReset);

    // Any thread.
    bool aligned() const { return m_aligned.load(); }
    bool autoResetArmed() const { return m_firstResetArmed.load(); }
    qint64 oversizedAudioDrops() const { return m_oversizedAudio.total(); }
    qint64 catchUpPictureDrops() const { return m_skipped.load(); }
    Stats stats() const;
    // Delivery thread (tests): the offsets of the playout clock.
    double videoOffset_for_testing() const { return m_videoOffset; }
    double audioOffset_for_testing() const { return m_audioOffset; }

private:
    bool align(qint64 nowMs);
    void startClock(qint64 nowMs, qint64 clockMs);
    void resetBuffers();
    void sampleArrivals();
    void updateGoal(double elapsedMs);
    void moveVideoOffset(double elapsedMs);
    int collectAudio(qint64 nowMs, int *sampleRate);
    bool presentPicture(qint64 nowMs);
    void skipBacklog(qint64 nowMs);
    void boundQueues();
    void send(int samples, int sampleRate, bool newPicture);

    const Session m_session;
    FrameQueue &m_video;
    FrameQueue &m_audio;
    SessionTimeline &m_timeline;
    DeliverySink &m_sink;

    std::atomic<bool> m_aligned{false};
    std::atomic<bool> m_resetRequested{false};
    std::atomic<bool> m_firstResetArmed{false};
    std::atomic<int> m_audioOutputDelayMs{0};
    LogThrottle m_oversizedAudio;
    LogThrottle m_skipLog;
    std::atomic<qint64> m_skipped{0};
    std::atomic<qint64> m_repeated{0};
    std::atomic<qint64> m_lateAudio{0};
    std::atomic<qint64> m_shown{0};
    std::atomic<qint64> m_delayMs{-1};
    std::atomic<qint64> m_jitterMs{0};
    std::atomic<qint64> m_audioDelayMs{-1};
    std::atomic<qint64> m_audioBurstMs{0};

    // -- Delivery thread only: the playout clock.
    PlayoutDelay m_videoArrivals;
    PlayoutDelay m_audioArrivals{100};
    double m_videoOffset = 0.0; // a picture of time t is due at t + m_videoOffset
    double m_audioOffset = 0.0; // audio of time t is released at t + m_audioOffset
    double m_videoGoal = 0.0;
    double m_audioGoal = 0.0;
    double m_videoWaitsForAudioMs = 0.0; // measured: how much later than the pictures sound is due
    qint64 m_lastTickMs = -1;
    qint64 m_sampledVideoMs = 0; // newest frame of each kind measured so far
    qint64 m_sampledAudioMs = 0;
    qint64 m_lastAudioArrivalMs = -1;  // arrival of the newest audio frame measured
    qint64 m_firstAudioArrivalMs = -1; // of the first, since the clock started
    qint64 m_audioRoseAtMs = 0;        // when sound's delay last rose by kAudioSteadyMs or more
    bool m_audioWarm = false;          // sound may go out (kAudioWarmUpMs have passed)
    qint64 m_lastShownAtMs = -1;       // wall time the picture on show went out
    qint64 m_lastShownMs = -1;         // its session time
    qint64 m_lastAudioMs = -1;         // session time of the newest audio released

    // The tick's buffers, allocated once per session: the picture on show (the queue's
    // reference, moved here) and the gathered audio, one plane per channel.
    AVFramePtr m_onShow;
    qint64 m_pictureMs = -1;
    std::unique_ptr<float[]> m_audioOut;
    const float *m_audioPlanes[kOutputAudioChannels] = {};
};
