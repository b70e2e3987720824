#include "engine/DeliveryPolicy.h"

#include "engine/AudioConvert.h"
#include "engine/EngineLog.h"
#include "engine/FrameQueue.h"
#include "engine/SessionTimeline.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {
constexpr qint64 kNone = std::numeric_limits<qint64>::max();
} // namespace

DeliveryPolicy::DeliveryPolicy(const Session &session, FrameQueue &video, FrameQueue &audio,
                               SessionTimeline &timeline, DeliverySink &sink)
    : m_session(session), m_video(video), m_audio(audio), m_timeline(timeline), m_sink(sink),
      m_picture(new uchar[kOutputFrameBytes]),
      m_audioOut(std::make_unique<std::array<qint16, kOutputAudioSamples>>())
{
    // A tick that has audio before its first picture sends black, not stale memory.
    const int stride = session.stride;
    const qint64 luma = qint64(stride) * session.height;
    const qint64 chroma = qint64(stride / 2) * ((session.height + 1) / 2);
    if (stride > 0 && luma + 2 * chroma <= kOutputFrameBytes) {
        std::memset(m_picture.get(), 16, size_t(luma));
        std::memset(m_picture.get() + luma, 128, size_t(2 * chroma));
    }
    m_pictureStride = stride;
}

DeliveryPolicy::~DeliveryPolicy() = default;

void DeliveryPolicy::releaseBuffers()
{
    m_picture.reset();
    m_audioOut.reset();
}

void DeliveryPolicy::alignAt_for_testing(qint64 clockMs, bool armAutoReset)
{
    m_aligned = true;
    m_timeline.clockMs = clockMs;
    m_firstResetArmed = armAutoReset;
}

DeliveryPolicy::Tick DeliveryPolicy::tick()
{
    if (!m_picture || !m_audioOut)
        return Tick::Done;
    observeAudioLag();
    return m_session.videoOnly ? videoOnlyTick() : audioTick();
}

bool DeliveryPolicy::takePicture(const FrameRecord &record)
{
    if (record.size > kOutputFrameBytes) {
        if (m_oversizedPictures.count())
            qCWarning(lcEngine) << "-- WARN: picture larger than the output frame dropped"
                                << record.size << m_oversizedPictures.total();
        return false;
    }
    std::memcpy(m_picture.get(), record.block, size_t(record.size));
    m_pictureStride = record.stride;
    m_pictureMs = record.timestamp;
    return true;
}

void DeliveryPolicy::send(const qint16 *audio, int samples, int sampleRate, bool newPicture)
{
    DeliveredFrame frame;
    frame.video = m_picture.get();
    frame.pixelFormat = AV_PIX_FMT_YUV420P;
    frame.width = m_session.width;
    frame.height = m_session.height;
    frame.stride = m_pictureStride;
    if (audio) {
        frame.audio = audio;
        frame.samples = samples;
        frame.sampleRate = sampleRate;
        frame.channels = 2;
    }
    frame.pictureMs = m_pictureMs;
    frame.newPicture = newPicture;
    m_sink.deliver(frame);
}

// ---------------------------------------------------------------------------------------------
// Video only: one picture per tick, timestamps play no part.

DeliveryPolicy::Tick DeliveryPolicy::videoOnlyTick()
{
    if (!m_aligned) {
        const qint64 last = m_timeline.lastVideoMs.load();
        if (last < 1)
            return Tick::Done;
        m_aligned = true;
        m_timeline.clockMs = last;
    }
    if (m_resetRequested) {
        m_resetRequested = false;
        m_video.clear();
        qCInfo(lcEngine) << "-- RESET BUFFERS";
        return Tick::Done;
    }
    if (m_video.bufferedMs() < kMinQueuedVideoOnlyMs)
        return Tick::Idle; // nothing to show yet: wait one frame instead of polling every tick
    FrameRecord record;
    if (!m_video.popIfDue(record, kNone))
        return Tick::Done;
    const bool taken = takePicture(record);
    m_timeline.clockMs = record.timestamp;
    m_video.release(record);
    if (taken)
        send(nullptr, 0, 0, true);
    return Tick::Done;
}

// ---------------------------------------------------------------------------------------------
// With audio: driven by timestamps against the session clock.

bool DeliveryPolicy::alignWithAudio()
{
    const qint64 lastVideo = m_timeline.lastVideoMs.load();
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
    m_timeline.clockMs = clock;
    m_video.trimBefore(clock);
    m_audio.trimBefore(clock);
    qCInfo(lcEngine) << "IN VIDEO and AUDI BUFF AFTER TRIM:" << m_video.count() << m_audio.count()
                     << clock;
    m_firstResetArmed = true;
    return true;
}

void DeliveryPolicy::resetBuffers()
{
    m_resetRequested = false;
    qCInfo(lcEngine) << "-- RESET BUFFERS" << m_audio.bufferedMs() << m_video.bufferedMs();
    m_video.clear();
    m_audio.clear();
}

DeliveryPolicy::Tick DeliveryPolicy::audioTick()
{
    if (!m_aligned && !alignWithAudio())
        return Tick::Done;
    if (m_resetRequested) {
        resetBuffers();
        return Tick::Done;
    }
    if (m_video.bufferedMs() < kMinQueuedMs || m_audio.bufferedMs() < kMinQueuedMs)
        return Tick::Done;

    const qint64 limit = m_timeline.clockMs.load() + kLookAheadMs + qint64(m_session.frameMs);
    // Stereo sample frames the audio buffer holds.
    constexpr int kCapacity = kOutputAudioSamples / 2;
    qint16 *const audioOut = m_audioOut->data();

    // Audio: everything due, interleaved into the audio buffer. The worker is the only
    // consumer, so the oldest record seen here is the one popped next.
    int samples = 0;
    int sampleRate = 0;
    qint64 audioMs = kNone;
    FrameRecord record;
    while (m_audio.peekOldest(record) && record.timestamp <= limit) {
        if (record.samples > kCapacity) {
            // It could never fit, not even alone: kept queued it would stop all delivery.
            m_audio.dropOldest();
            if (m_oversizedAudio.count())
                qCWarning(lcEngine)
                    << "-- WARN: audio frame larger than the delivery buffer dropped"
                    << record.samples << m_oversizedAudio.total();
            continue;
        }
        if (samples + record.samples > kCapacity)
            break; // the next tick takes it first
        if (!m_audio.popIfDue(record, limit))
            break;
        floatPlanarToS16Stereo(audioOut + 2 * qint64(samples),
                               reinterpret_cast<const float *>(record.block), record.samples,
                               record.channels);
        samples += record.samples;
        sampleRate = record.sampleRate;
        audioMs = record.timestamp;
        m_audio.release(record);
    }

    // Video: one picture, the oldest due; without one the previous picture stays.
    qint64 videoMs = kNone;
    bool newPicture = false;
    if (m_video.popIfDue(record, limit)) {
        newPicture = takePicture(record);
        videoMs = record.timestamp;
        m_video.release(record);
    } else {
        qCDebug(lcEngine) << "--- no video" << m_timeline.clockMs.load();
    }

    // A picture whose audio is not due yet goes out alone: held back for that audio, it would
    // be lost whenever the next picture is popped first. Its audio follows with a later tick.
    if (samples > 0)
        send(audioOut, samples, sampleRate, newPicture);
    else if (newPicture)
        send(nullptr, 0, 0, true);

    // The clock stands at the oldest data still queued.
    const qint64 front = qMin(m_video.frontTimestamp(), m_audio.frontTimestamp());
    const qint64 popped = qMin(audioMs, videoMs);
    const qint64 clock = front < kNone ? front : popped;
    if (clock == kNone)
        // Nothing queued and nothing popped: the clock keeps its value, since admitting only
        // frames newer than "never" would end delivery for the rest of the session.
        qCDebug(lcEngine) << "---- ALERT -- ALERT--" << m_timeline.clockMs.load() << popped
                          << front;
    else
        m_timeline.clockMs = clock;

    if (m_firstResetArmed && m_video.bufferedMs() > kAutoResetMs) {
        m_resetRequested = true;
        m_firstResetArmed = false;
        qCInfo(lcEngine) << "-- first auto reset";
    } else if (!m_resetRequested && m_video.count() > maxWaitingPictures()) {
        catchUp();
    }
    return Tick::Done;
}

void DeliveryPolicy::observeAudioLag()
{
    // Every tick, also those that wait for sound: that is when the lag shows.
    if (!m_session.audioMayLag || m_session.videoOnly)
        return;
    const qint64 lastVideo = m_timeline.lastVideoMs.load();
    const qint64 lastAudio = m_timeline.lastAudioMs.load();
    const double lag = lastVideo > lastAudio ? double(lastVideo - lastAudio) : 0.0;
    m_audioLagMs = std::min(kBurstyAudioWaitMs, std::max(lag, m_audioLagMs - kAudioLagFadeMs));
}

int DeliveryPolicy::maxWaitingPictures() const
{
    if (!m_session.audioMayLag || m_session.frameMs <= 0)
        return kMaxWaitingPictures;
    if (m_audioLagMs <= 0)
        return kMaxWaitingPictures;
    // One picture more than the lag spans: a burst a little later than the last one is no
    // backlog either.
    return std::max(kMaxWaitingPictures, int(std::ceil(m_audioLagMs / m_session.frameMs)) + 1);
}

void DeliveryPolicy::catchUp()
{
    // Only pictures older than the newest time at which both kinds have arrived are backlog:
    // a camera whose audio has stopped, or runs behind its pictures, gives nothing to skip.
    const qint64 target = qMin(m_timeline.lastVideoMs.load(), m_timeline.lastAudioMs.load());
    int skipped = 0;
    const int keep = maxWaitingPictures();
    while (m_video.count() > keep && m_video.frontTimestamp() < target) {
        m_video.dropOldest();
        ++skipped;
    }
    if (skipped == 0)
        return;
    // The clock moves on to the oldest picture kept; the next tick sends it with all the
    // audio up to it, so no sound is skipped.
    const qint64 clock = m_video.frontTimestamp();
    m_timeline.clockMs = clock;
    const qint64 total = m_catchUpDrops.fetch_add(skipped) + skipped;
    qCInfo(lcEngine) << "-- catch up: pictures skipped" << skipped << "clock" << clock
                     << "skipped so far" << total;
}
