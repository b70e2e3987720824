#include "engine/PlayoutDelay.h"

#include <algorithm>
#include <limits>

void PlayoutDelay::reset()
{
    m_count = 0;
    m_next = 0;
    m_baseMs = 0;
    m_jitterMs = 0;
    m_lastStallMs = -1;
    m_stalls = 0;
}

void PlayoutDelay::add(qint64 timestampMs, qint64 arrivalMs)
{
    const qint64 transit = arrivalMs - timestampMs;
    Sample sample;
    sample.transitMs = transit;
    if (m_count > 0 && transit - m_baseMs > kStallMs) {
        sample.stall = true;
        m_lastStallMs = arrivalMs;
    } else if (m_lastStallMs >= 0) {
        // What arrives after a stall is its backlog, later and later less late, as fast as a
        // decoder works it off; a busy one leaves gaps of a frame or more now and then, so the
        // catching up is judged over a few frames. The burst ends with the first frame back
        // within the jitter measured before the stall, or that is no longer catching up: the
        // lateness left then is the link's new normal, to be covered at once (audio that comes
        // later than its time would otherwise be dropped for as long as the burst lasted).
        const bool backToNormal = transit - m_baseMs <= m_jitterMs + kBurstMarginMs;
        const Sample &earlier =
            m_samples[size_t((m_next - std::min(m_count, kBurstSpan) + kWindow) % kWindow)];
        const bool catchingUp = earlier.transitMs - transit > kBurstMarginMs;
        if (backToNormal || !catchingUp || arrivalMs - m_lastStallMs >= kMaxBurstMs)
            m_lastStallMs = -1;
        else
            sample.stall = true;
    }
    if (sample.stall)
        ++m_stalls;
    m_samples[size_t(m_next)] = sample;
    m_next = (m_next + 1) % kWindow;
    m_count = std::min(m_count + 1, kWindow);
    // The jitter of the frames before a stall is what its burst is judged against.
    if (!sample.stall)
        recompute();
    else
        recomputeBase();
}

void PlayoutDelay::recomputeBase()
{
    qint64 base = std::numeric_limits<qint64>::max();
    for (int i = 0; i < m_count; ++i)
        base = std::min(base, m_samples[size_t(i)].transitMs);
    m_baseMs = base;
}

void PlayoutDelay::recompute()
{
    recomputeBase();
    const qint64 base = m_baseMs;
    int n = 0;
    for (int i = 0; i < m_count; ++i)
        if (!m_samples[size_t(i)].stall)
            m_scratch[size_t(n++)] = m_samples[size_t(i)].transitMs - base;
    if (n == 0) {
        m_jitterMs = 0;
        return;
    }
    const int index = std::min(n - 1, (n * kPercentile + 99) / 100 - 1);
    std::nth_element(m_scratch.begin(), m_scratch.begin() + index, m_scratch.begin() + n);
    m_jitterMs = m_scratch[size_t(index)];
}
