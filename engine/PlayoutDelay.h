#pragma once

#include <QtGlobal>

#include <array>

// Measures how late one kind of frame (pictures, or audio) arrives against its own timestamps,
// and says how far behind the earliest arrivals the output must run so that nearly every frame
// is there in time. A frame's transit is its arrival time minus its session timestamp: the
// smallest transit over the last few seconds is the link's base, and a high percentile of the
// excess over that base is its jitter.
//
// Frames that arrive together (one packet holding several, as a TS muxer gathers sound) count
// as one arrival: its oldest frame waited longest, so that one's transit is what the output must
// cover, while its newest frame's transit is how late the packet itself was. A camera that
// always sends a few hundred ms of sound at once thus gets that much delay, and a camera that
// sends a frame per packet keeps a small one.
//
// A stall (an arrival later than kStallMs beyond the base) and the burst that follows it are
// left out of the jitter: a one-off stall is worked off by the delivery's catch-up, it must not
// raise the delay for the seconds after it. An arrival's lateness is judged less the span the
// camera's packets usually have (the median over the window): sound held back by a stall also
// comes as one arrival, but spans far more than the camera's packets.
//
// A plain value class, fed by the delivery thread; no allocation after construction.
class PlayoutDelay
{
public:
    // About three seconds of pictures at 30 fps, or of 21 ms audio frames at 48 kHz.
    static constexpr int kWindow = 128;
    // Jitter percentile (of 100) the delay covers by default.
    static constexpr int kPercentile = 95;
    // An arrival later than this beyond the base is a stall, not jitter.
    static constexpr qint64 kStallMs = 150;
    // A burst after a stall ends with an arrival this close to the jitter measured before it, or
    // whose transit is no more than this below that of the arrival kBurstSpan before it (no
    // longer catching up).
    static constexpr qint64 kBurstMarginMs = 10;
    static constexpr int kBurstSpan = 4;
    // A burst never lasts longer than this after the last stalled arrival.
    static constexpr qint64 kMaxBurstMs = 2000;
    // The first arrivals are never taken for a stall: they show how the camera packs its frames
    // (a camera sending 300 ms of sound at once would otherwise lose its first packets).
    static constexpr int kFirstArrivals = 3;

    // `percentile` of 100 of the arrivals the delay covers: sound, whose late frames are heard
    // as gaps, covers them all.
    explicit PlayoutDelay(int percentile = kPercentile);

    void reset();
    // A frame that came on its own, or the first of several that come together: its session
    // timestamp and when it was queued (monotonic ms).
    void add(qint64 timestampMs, qint64 arrivalMs);
    // A newer frame that came together with the ones since the last add().
    void extend(qint64 timestampMs, qint64 arrivalMs);

    bool empty() const { return m_count == 0; }
    int samples() const { return m_count; }
    // The smallest transit of an arrival's newest frame in the window.
    qint64 baseMs() const { return m_baseMs; }
    // The jitter percentile of the arrivals' oldest frames over the window, stalls and their
    // bursts left out; 0 when none.
    qint64 jitterMs() const { return m_jitterMs; }
    // The most one arrival spanned (its newest frame's time minus its oldest's), in the window.
    qint64 burstMs() const { return m_spanMs; }
    // The median span of the arrivals in the window: how the camera packs its frames.
    qint64 typicalSpanMs() const { return m_typicalSpanMs; }
    // Arrivals seen as stalls (or their bursts) so far.
    qint64 stalls() const { return m_stalls; }

private:
    struct Sample
    {
        qint64 oldestTransitMs = 0; // of the arrival's oldest frame
        qint64 newestTransitMs = 0; // of its newest frame
        qint64 judgedTransitMs = 0; // its lateness less the camera's usual packet span
        bool stall = false;
    };
    // Judges `sample` (arriving at `arrivalMs`) as a stall or not and stores it as the newest.
    void store(Sample sample, qint64 arrivalMs);
    void recompute();
    void recomputeBase();

    const int m_percentile;
    std::array<Sample, kWindow> m_samples{};
    std::array<qint64, kWindow> m_scratch{};
    int m_count = 0;
    int m_next = 0;
    qint64 m_baseMs = 0;
    qint64 m_jitterMs = 0;
    qint64 m_spanMs = 0;
    qint64 m_typicalSpanMs = 0;
    // When the last stalled arrival came, while a stall's burst lasts; -1 outside one.
    qint64 m_lastStallMs = -1;
    qint64 m_stalls = 0;

    // The state before the newest arrival was stored, so that extend() can judge it again.
    struct Before
    {
        Sample overwritten;
        int count = 0;
        int next = 0;
        qint64 lastStallMs = -1;
        qint64 stalls = 0;
    };
    Before m_before;
    qint64 m_newestTimestampMs = 0; // the newest frame of the latest arrival
    qint64 m_arrivalOldestMs = 0;   // its oldest frame's timestamp
};
