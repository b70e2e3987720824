#pragma once

#include <QtGlobal>

#include <array>

// Measures how late one kind of frame (pictures, or audio) arrives against its own timestamps,
// and says how far behind the earliest arrivals the output must run so that nearly every frame
// is there in time. A frame's transit is its arrival time minus its session timestamp: the
// smallest transit over the last few seconds is the link's base, and the 95th percentile of
// the excess over that base is its jitter.
//
// A stall (a frame later than kStallMs beyond the base) and the burst that follows it are left
// out of the jitter: a one-off stall is worked off by the delivery's catch-up, it must not
// raise the delay for the seconds after it.
//
// A plain value class, fed by the delivery thread; no allocation after construction.
class PlayoutDelay
{
public:
    // About three seconds of pictures at 30 fps, or of 21 ms audio frames at 48 kHz.
    static constexpr int kWindow = 128;
    // Jitter percentile (of 100) the delay covers.
    static constexpr int kPercentile = 95;
    // A frame later than this beyond the base is a stall, not jitter.
    static constexpr qint64 kStallMs = 150;
    // A burst after a stall ends with a frame this close to the jitter measured before it, or
    // whose transit is no more than this below that of the frame kBurstSpan before it (no
    // longer catching up).
    static constexpr qint64 kBurstMarginMs = 10;
    static constexpr int kBurstSpan = 4;
    // A burst never lasts longer than this after the last stalled frame.
    static constexpr qint64 kMaxBurstMs = 2000;

    void reset();
    // One frame: its session timestamp and when it was queued (monotonic ms).
    void add(qint64 timestampMs, qint64 arrivalMs);

    bool empty() const { return m_count == 0; }
    int samples() const { return m_count; }
    // The smallest transit (arrival - timestamp) in the window.
    qint64 baseMs() const { return m_baseMs; }
    // The jitter percentile over the window, stalls and their bursts left out; 0 when none.
    qint64 jitterMs() const { return m_jitterMs; }
    // Frames seen as stalls (or their bursts) so far.
    qint64 stalls() const { return m_stalls; }

private:
    void recompute();
    void recomputeBase();

    struct Sample
    {
        qint64 transitMs = 0;
        bool stall = false;
    };
    std::array<Sample, kWindow> m_samples{};
    std::array<qint64, kWindow> m_scratch{};
    int m_count = 0;
    int m_next = 0;
    qint64 m_baseMs = 0;
    qint64 m_jitterMs = 0;
    // When the last stalled frame came, while a stall's burst lasts; -1 outside one.
    qint64 m_lastStallMs = -1;
    qint64 m_stalls = 0;
};
