#include "engine/DeliveryPolicy.h"

#include "engine/EngineLog.h"
#include "engine/FrameQueue.h"
#include "engine/SessionTimeline.h"

extern "C" {
#include <libavutil/frame.h>
}

#include <cmath>
#include <cstring>
#include <limits>
#include <new>

namespace {
constexpr qint64 kNone = std::numeric_limits<qint64>::max();
} // namespace

DeliveryPolicy::DeliveryPolicy(const Session &session, FrameQueue &video, FrameQueue &audio,
                               SessionTimeline &timeline, DeliverySink &sink)
    : m_session(session), m_video(video), m_audio(audio), m_timeline(timeline), m_sink(sink),
      m_onShow(av_frame_alloc()),
      m_audioOut(new float[size_t(kOutputAudioSamples) * kOutputAudioChannels])
{
    // av_frame_alloc fails only when memory is exhausted.
    if (!m_onShow)
        throw std::bad_alloc();
    for (int channel = 0; channel < kOutputAudioChannels; ++channel)
        m_audioPlanes[channel] = m_audioOut.get() + qint64(channel) * kOutputAudioSamples;
}

DeliveryPolicy::~DeliveryPolicy() = default;

void DeliveryPolicy::releaseBuffers()
{
    // The picture on show goes back to its decoder's pool.
    m_onShow.reset();
    m_audioOut.reset();
}

void DeliveryPolicy::alignAt_for_testing(qint64 nowMs, qint64 clockMs, bool armAutoReset)
{
    m_aligned = true;
    startClock(nowMs, clockMs);
    m_firstResetArmed = armAutoReset;
    m_audioWarm = true;
}

DeliveryPolicy::Stats DeliveryPolicy::stats() const
{
    Stats s;
    s.delayMs = m_delayMs.load();
    s.jitterMs = m_jitterMs.load();
    s.skipped = m_skipped.load();
    s.repeated = m_repeated.load();
    s.lateAudio = m_lateAudio.load();
    s.shown = m_shown.load();
    s.audioDelayMs = m_audioDelayMs.load();
    s.audioBurstMs = m_audioBurstMs.load();
    return s;
}

void DeliveryPolicy::send(int samples, int sampleRate, bool newPicture)
{
    DeliveredFrame frame;
    frame.picture = m_onShow->data[0] ? m_onShow.get() : nullptr;
    // Audio due between two pictures goes with the picture on show again.
    if (samples > 0) {
        frame.audio = m_audioPlanes;
        frame.samples = samples;
        frame.sampleRate = sampleRate;
        frame.channels = kOutputAudioChannels;
    }
    frame.pictureMs = m_pictureMs;
    frame.newPicture = newPicture;
    m_sink.deliver(frame);
}

// ---------------------------------------------------------------------------------------------
// Alignment and flushes

bool DeliveryPolicy::align(qint64 nowMs)
{
    const qint64 lastVideo = m_timeline.lastVideoMs.load();
    if (m_session.videoOnly) {
        if (lastVideo < 1)
            return false;
        m_aligned = true;
        const qint64 front = m_video.frontTimestamp();
        startClock(nowMs, front < kNone ? front : lastVideo);
        return true;
    }
    const qint64 lastAudio = m_timeline.lastAudioMs.load();
    qCDebug(lcEngine) << "S 10:" << lastVideo << lastAudio;
    if (lastVideo < 1 || lastAudio < 1)
        return false;
    qCInfo(lcEngine) << "LAST PTS BEFORE FLUSH:" << lastVideo << lastAudio
                     << "DIFF:" << lastAudio - lastVideo << "IN DURATION:" << m_video.bufferedMs()
                     << m_audio.bufferedMs();
    m_aligned = true;
    // The newest time at which both kinds have arrived: everything older is backlog.
    const qint64 clock = qMin(lastVideo, lastAudio);
    m_video.trimBefore(clock);
    m_audio.trimBefore(clock);
    qCInfo(lcEngine) << "IN VIDEO and AUDI BUFF AFTER TRIM:" << m_video.count() << m_audio.count()
                     << clock;
    startClock(nowMs, clock);
    m_firstResetArmed = true;
    return true;
}

void DeliveryPolicy::startClock(qint64 nowMs, qint64 clockMs)
{
    // What is queued at the alignment is due now; the measured jitter then sets the goal and
    // the clock works its way there.
    m_timeline.clockMs = clockMs;
    m_videoOffset = double(nowMs - clockMs);
    m_audioOffset = m_videoOffset;
    m_videoGoal = m_videoOffset;
    m_audioGoal = m_audioOffset;
    m_lastTickMs = nowMs;
    m_videoArrivals.reset();
    m_audioArrivals.reset();
    m_sampledVideoMs = std::numeric_limits<qint64>::min();
    m_sampledAudioMs = std::numeric_limits<qint64>::min();
    m_lastAudioArrivalMs = -1;
    m_firstAudioArrivalMs = -1;
    m_audioRoseAtMs = nowMs;
    m_audioWarm = false;
}

void DeliveryPolicy::resetBuffers()
{
    m_resetRequested = false;
    if (m_session.videoOnly) {
        m_video.clear();
        qCInfo(lcEngine) << "-- RESET BUFFERS";
        return;
    }
    qCInfo(lcEngine) << "-- RESET BUFFERS" << m_audio.bufferedMs() << m_video.bufferedMs();
    m_video.clear();
    m_audio.clear();
}

// ---------------------------------------------------------------------------------------------
// The playout clock

void DeliveryPolicy::sampleArrivals()
{
    // Every frame is measured as it arrives (not when it goes out), so that a camera sending
    // faster than real time, whose pictures may be dropped by the buffer bound before they
    // are due, is still measured.
    constexpr int kMax = 32;
    qint64 timestamps[kMax];
    qint64 arrivals[kMax];
    int n = m_video.arrivalsAfter(m_sampledVideoMs, timestamps, arrivals, kMax);
    for (int i = 0; i < n; ++i)
        if (arrivals[i] >= 0)
            m_videoArrivals.add(timestamps[i], arrivals[i]);
    if (n > 0)
        m_sampledVideoMs = timestamps[n - 1];
    if (m_session.videoOnly)
        return;
    n = m_audio.arrivalsAfter(m_sampledAudioMs, timestamps, arrivals, kMax);
    for (int i = 0; i < n; ++i) {
        if (arrivals[i] < 0)
            continue;
        // Decoded one after the other as they came: one packet's frames are queued within a
        // few ms of each other, a frame-per-packet camera's a frame's length apart.
        if (m_firstAudioArrivalMs < 0)
            m_firstAudioArrivalMs = arrivals[i];
        if (m_lastAudioArrivalMs >= 0 && arrivals[i] - m_lastAudioArrivalMs <= kPacketGapMs)
            m_audioArrivals.extend(timestamps[i], arrivals[i]);
        else
            m_audioArrivals.add(timestamps[i], arrivals[i]);
        m_lastAudioArrivalMs = arrivals[i];
    }
    if (n > 0)
        m_sampledAudioMs = timestamps[n - 1];
}

void DeliveryPolicy::updateGoal(double elapsedMs)
{
    if (m_videoArrivals.empty())
        return;
    const qint64 maxDelay = m_session.videoOnly ? qMax<qint64>(kMinDelayMs, m_session.maxDelayMs)
                                                : kMaxDelayWithAudioMs;
    auto earliest = [&](const PlayoutDelay &arrivals, qint64 margin) {
        return double(arrivals.baseMs() +
                      qBound(kMinDelayMs, arrivals.jitterMs() + margin, maxDelay));
    };
    const double video = earliest(m_videoArrivals, kMarginMs);
    double videoGoal = video;
    double audioGoal = video;
    double lead = 0;
    if (!m_session.videoOnly) {
        // Audio goes out as soon as nearly all of it is there, but not before the pictures can
        // follow it through the audio output's delay; the pictures are held by that delay.
        // Less the sound's allowance: it may come that much after its picture.
        lead = double(qMax(0, m_audioOutputDelayMs.load() - kAudioLateToleranceMs));
        const double audio =
            m_audioArrivals.empty() ? video - lead : earliest(m_audioArrivals, kAudioMarginMs);
        audioGoal = qMax(audio, video - lead);
        videoGoal = qMax(video, audioGoal + lead);
        m_videoWaitsForAudioMs = qBound(0.0, audio + lead - video, double(kMaxDelayWithAudioMs));
    }
    // A goal falls no faster than the bounded speed-up: a camera that sends faster than real
    // time (catching up after a stall of its own) keeps lowering the measured base, and the
    // output would otherwise race after it.
    auto follow = [&](double &goal, double measured, double fallRate) {
        if (std::abs(measured - goal) <= kGoalHysteresisMs)
            return;
        goal = measured > goal ? measured : qMax(measured, goal - fallRate * elapsedMs);
    };
    follow(m_videoGoal, videoGoal, kMaxSpeedUp);
    // Before any sound has gone out there is nothing to keep continuous; nor when more sound is
    // queued than its delay explains by the backlog bound (a camera sending faster than real
    // time), which goes as late audio in any case.
    const bool audioBacklog =
        !m_audioArrivals.empty() && m_audio.bufferedMs() > m_audioGoal -
                                                               double(m_audioArrivals.baseMs()) +
                                                               double(kMaxBacklogMs);
    const double audioBefore = m_audioGoal;
    follow(m_audioGoal, audioGoal,
           m_lastAudioMs < 0 ? 1.0 : (audioBacklog ? kMaxSpeedUp : kAudioDriftRate));
    if (m_audioGoal > audioBefore + double(kAudioSteadyMs))
        m_audioRoseAtMs = m_lastTickMs;
    if (m_lastAudioMs >= 0 && m_audioGoal > audioBefore + 1)
        qCDebug(lcEngine) << "-- sound delay up by" << qint64(m_audioGoal - audioBefore)
                          << "ms: jitter" << m_audioArrivals.jitterMs() << "burst"
                          << m_audioArrivals.typicalSpanMs() << "lead" << qint64(lead);
    m_audioOffset = m_audioGoal;
}

void DeliveryPolicy::moveVideoOffset(double elapsed)
{
    if (m_videoOffset > m_videoGoal)
        m_videoOffset = qMax(m_videoGoal, m_videoOffset - kMaxSpeedUp * elapsed);
    else if (m_videoOffset < m_videoGoal)
        m_videoOffset = qMin(m_videoGoal, m_videoOffset + kMaxSlowDown * elapsed);
    // Beyond the bound a backlog is skipped, not worked off.
    m_videoOffset = qMin(m_videoOffset, m_videoGoal + double(kMaxBacklogMs));
}

int DeliveryPolicy::collectAudio(qint64 nowMs, int *sampleRate)
{
    constexpr int kCapacity = kOutputAudioSamples;
    float *const left = m_audioOut.get();
    float *const right = left + kOutputAudioSamples;
    if (!m_audioWarm) {
        // Sound starts once its arrivals have shown how the camera sends it: started at once, a
        // camera sending a few hundred ms at a time would be heard for a moment, then not while
        // its delay is raised to cover its packets.
        // A TS muxer's first packets are smaller than its later ones: sound waits until its delay
        // has stopped rising for a while, or kMaxAudioWarmUpMs at most.
        if (m_firstAudioArrivalMs < 0 || nowMs - m_firstAudioArrivalMs < kAudioWarmUpMs)
            return 0;
        if (nowMs - m_audioRoseAtMs < kAudioWarmUpMs &&
            nowMs - m_firstAudioArrivalMs < kMaxAudioWarmUpMs)
            return 0;
        m_audioWarm = true;
    }
    const double releaseUpTo = double(nowMs) - m_audioOffset;
    int samples = 0;
    FrameRecord record;
    // The worker is the only consumer, so the oldest record seen here is the one popped next.
    while (m_audio.peekOldest(record)) {
        if (record.samples > kCapacity) {
            // It could never fit, not even alone: kept queued it would stop all delivery.
            m_audio.dropOldest();
            if (m_oversizedAudio.count())
                qCWarning(lcEngine)
                    << "-- WARN: audio frame larger than the delivery buffer dropped"
                    << record.samples << m_oversizedAudio.total();
            continue;
        }
        if (double(record.timestamp) > releaseUpTo)
            break;
        if (double(record.timestamp) < releaseUpTo - double(kLateAudioMs)) {
            // After a stall: its time has passed and the output played silence for it. Before
            // the first sound it is only the start's backlog: nobody missed it.
            m_audio.dropOldest();
            if (m_lastAudioMs >= 0)
                m_lateAudio.fetch_add(1);
            continue;
        }
        if (samples + record.samples > kCapacity)
            break; // the next tick takes it first
        // The one consumer peeked it, so its frame stays valid until it is dropped here.
        const auto *const *planes =
            reinterpret_cast<const float *const *>(record.frame->extended_data);
        const size_t bytes = size_t(record.samples) * sizeof(float);
        std::memcpy(left + samples, planes[0], bytes);
        std::memcpy(right + samples, planes[record.channels > 1 ? 1 : 0], bytes);
        samples += record.samples;
        *sampleRate = record.sampleRate;
        m_lastAudioMs = record.timestamp;
        m_audio.dropOldest();
    }
    return samples;
}

void DeliveryPolicy::skipBacklog(qint64 nowMs)
{
    // Pictures further behind their goal time than the bound go, as long as a newer one is
    // waiting to be shown instead.
    const double bound = double(nowMs) - m_videoGoal - double(kMaxBacklogMs);
    int skipped = 0;
    FrameRecord record;
    while (m_video.count() > 1 && m_video.peekOldest(record) && double(record.timestamp) < bound) {
        m_video.dropOldest();
        ++skipped;
    }
    if (skipped == 0)
        return;
    const qint64 total = m_skipped.fetch_add(skipped) + skipped;
    if (m_skipLog.count())
        qCInfo(lcEngine) << "-- catch up: pictures skipped" << skipped << "skipped so far" << total;
}

void DeliveryPolicy::boundQueues()
{
    // Video-only sessions are held under their buffer setting as the pictures arrive.
    if (m_session.videoOnly)
        return;
    int pictures = 0;
    while (m_video.count() > 1 && m_video.bufferedMs() > double(kMaxQueuedMs)) {
        m_video.dropOldest();
        ++pictures;
    }
    int audio = 0;
    while (m_audio.count() > 1 && m_audio.bufferedMs() > double(kMaxQueuedMs)) {
        m_audio.dropOldest();
        ++audio;
    }
    if (pictures == 0 && audio == 0)
        return;
    const qint64 total = m_skipped.fetch_add(pictures) + pictures;
    m_lateAudio.fetch_add(audio);
    if (m_skipLog.count())
        qCInfo(lcEngine) << "-- more queued than can be shown in time: pictures skipped" << pictures
                         << "audio frames dropped" << audio << "pictures skipped so far" << total;
}

bool DeliveryPolicy::presentPicture(qint64 nowMs)
{
    FrameRecord record;
    if (!m_video.peekOldest(record))
        return false;
    const double dueAt = double(record.timestamp) + m_videoOffset;
    if (dueAt > double(nowMs) + kTickMs / 2.0)
        return false;
    if (m_lastShownAtMs >= 0) {
        // Never faster than the bounded speed-up, also right after the offset was capped.
        const double spacing = qMin(double(record.timestamp - m_lastShownMs), m_session.frameMs);
        if (double(nowMs - m_lastShownAtMs) < spacing / (1.0 + kMaxSpeedUp) - kTickMs / 2.0)
            return false;
    }
    // The queue's reference moves to the picture on show; the previous one goes back to its
    // decoder's pool.
    if (!m_video.popIfDue(record, kNone, m_onShow.get()))
        return false;
    // A picture shown later than its time leaves the clock where it is: the audio goes on at
    // its pace, the pictures after it come at their own time (no faster than the speed-up
    // allows after it), and a lateness that keeps coming raises the measured jitter instead.
    if (m_lastShownAtMs >= 0 && m_session.frameMs > 0) {
        const double overdue =
            double(nowMs - m_lastShownAtMs) - double(record.timestamp - m_lastShownMs);
        if (overdue > m_session.frameMs / 2)
            m_repeated.fetch_add(qMax<qint64>(1, qint64(overdue / m_session.frameMs + 0.5)));
    }
    m_pictureMs = record.timestamp;
    m_lastShownAtMs = nowMs;
    m_lastShownMs = record.timestamp;
    m_shown.fetch_add(1);
    return true;
}

qint64 DeliveryPolicy::idleUntilMs(qint64 nowMs) const
{
    if (!m_onShow || !m_audioOut)
        return kNone;
    if (!m_aligned || m_resetRequested)
        return nowMs;
    const bool withAudio = !m_session.videoOnly;
    // Sound's warm-up and its first release are decided by the time passing.
    if (withAudio && (!m_audioWarm || m_lastAudioMs < 0) && m_audio.count() > 0)
        return nowMs;
    double backlogBound = m_session.videoOnly
                              ? double(qMin<qint64>(kMaxBacklogMs, m_session.maxDelayMs))
                              : double(kMaxBacklogMs);
    backlogBound += m_videoWaitsForAudioMs;
    if (m_video.bufferedMs() > backlogBound)
        return nowMs;

    double earliest = double(kNone);
    const qint64 picture = m_video.frontTimestamp();
    if (picture < kNone) {
        // The offset falls by at most kMaxSpeedUp of the time passing (the catch-up, and the cap
        // above its goal, whose fall is bounded alike); a picture goes out at the first tick
        // within half a tick of its time, and no sooner after the one before than the speed-up
        // allows.
        const double ahead = double(picture) + m_videoOffset - kTickMs / 2.0 - double(nowMs);
        double at = double(nowMs) + ahead / (1.0 + kMaxSpeedUp);
        if (m_lastShownAtMs >= 0) {
            const double spacing = qMin(double(picture - m_lastShownMs), m_session.frameMs);
            at = qMax(at, double(m_lastShownAtMs) + spacing / (1.0 + kMaxSpeedUp) - kTickMs / 2.0);
        }
        earliest = at;
    }
    const qint64 sound = withAudio ? m_audio.frontTimestamp() : kNone;
    if (sound < kNone) {
        // Sound's offset falls as its goal may (updateGoal): slowly, or at the catch-up rate
        // while more sound is queued than its delay explains.
        const bool backlog = !m_audioArrivals.empty() &&
                             m_audio.bufferedMs() > m_audioGoal - double(m_audioArrivals.baseMs()) +
                                                        double(kMaxBacklogMs);
        const double rate = backlog ? kMaxSpeedUp : kAudioDriftRate;
        const double ahead = double(sound) + m_audioOffset - double(nowMs);
        earliest = qMin(earliest, double(nowMs) + ahead / (1.0 + rate));
    }
    if (earliest >= double(kNone))
        return kNone;
    return qMax(nowMs, qint64(std::floor(earliest)));
}

// ---------------------------------------------------------------------------------------------
// The tick

DeliveryPolicy::Tick DeliveryPolicy::tick(qint64 nowMs)
{
    if (!m_onShow || !m_audioOut)
        return Tick::Done;
    if (!m_aligned && !align(nowMs))
        return Tick::Done;
    if (m_resetRequested) {
        resetBuffers();
        return Tick::Done;
    }

    const double elapsed = double(qBound<qint64>(0, nowMs - m_lastTickMs, 1000));
    m_lastTickMs = nowMs;
    sampleArrivals();
    updateGoal(elapsed);
    moveVideoOffset(elapsed);
    // More queued than the backlog bound (a camera sending faster than real time; with video
    // only, the buffer setting, whose rule drops the oldest pictures): the oldest is due now.
    // With audio the pictures may wait for a camera's bursty sound: the bound is beyond that.
    double backlogBound = m_session.videoOnly
                              ? double(qMin<qint64>(kMaxBacklogMs, m_session.maxDelayMs))
                              : double(kMaxBacklogMs);
    backlogBound += m_videoWaitsForAudioMs;
    if (m_video.bufferedMs() > backlogBound) {
        const qint64 front = m_video.frontTimestamp();
        if (front < kNone)
            m_videoOffset = qMin(m_videoOffset, double(nowMs - front));
    }
    int sampleRate = 0;
    const int samples = m_session.videoOnly ? 0 : collectAudio(nowMs, &sampleRate);
    skipBacklog(nowMs);
    boundQueues();
    const bool newPicture = presentPicture(nowMs);
    if (samples > 0 || newPicture)
        send(samples, sampleRate, newPicture);
    if (newPicture)
        qCDebug(lcEngine) << "-- picture" << m_pictureMs << "at" << nowMs << "offset"
                          << qint64(m_videoOffset) << "goal" << qint64(m_videoGoal) << "audio"
                          << qint64(m_audioOffset);

    // Admission of late frames is judged against the oldest time out.
    qint64 clock = m_lastShownMs;
    if (!m_session.videoOnly && m_lastAudioMs >= 0)
        clock = clock >= 0 ? qMin(clock, m_lastAudioMs) : m_lastAudioMs;
    if (clock >= 0)
        m_timeline.clockMs = clock;
    if (!m_videoArrivals.empty()) {
        m_delayMs = qint64(std::lround(m_videoOffset)) - m_videoArrivals.baseMs();
        m_jitterMs = m_videoArrivals.jitterMs();
    }
    if (!m_audioArrivals.empty()) {
        m_audioDelayMs = qint64(std::lround(m_audioOffset)) - m_audioArrivals.baseMs();
        m_audioBurstMs = m_audioArrivals.typicalSpanMs();
    }

    if (!m_session.videoOnly && m_firstResetArmed && m_video.bufferedMs() > kAutoResetMs) {
        m_resetRequested = true;
        m_firstResetArmed = false;
        qCInfo(lcEngine) << "-- first auto reset";
    }
    return m_video.count() == 0 && (m_session.videoOnly || m_audio.count() == 0) ? Tick::Idle
                                                                                 : Tick::Done;
}
