#include "engine/PlayoutDelay.h"

#include <algorithm>
#include <limits>

PlayoutDelay::PlayoutDelay(int percentile) : m_percentile(std::clamp(percentile, 1, 100)) {}

void PlayoutDelay::reset()
{
    m_count = 0;
    m_next = 0;
    m_baseMs = 0;
    m_jitterMs = 0;
    m_spanMs = 0;
    m_typicalSpanMs = 0;
    m_lastStallMs = -1;
    m_stalls = 0;
}

void PlayoutDelay::add(qint64 timestampMs, qint64 arrivalMs)
{
    Sample sample;
    sample.oldestTransitMs = arrivalMs - timestampMs;
    sample.newestTransitMs = sample.oldestTransitMs;
    m_arrivalOldestMs = timestampMs;
    m_newestTimestampMs = timestampMs;
    m_before.overwritten = m_samples[size_t(m_next)];
    m_before.count = m_count;
    m_before.next = m_next;
    m_before.lastStallMs = m_lastStallMs;
    m_before.stalls = m_stalls;
    store(sample, arrivalMs);
}

void PlayoutDelay::extend(qint64 timestampMs, qint64 arrivalMs)
{
    if (m_count == 0 || timestampMs <= m_newestTimestampMs) {
        add(timestampMs, arrivalMs);
        return;
    }
    // The arrival is judged again with its newest frame: a packet of sound is as late as the
    // newest sound in it, and its oldest waited the whole span on top.
    Sample sample = m_samples[size_t(m_before.next)];
    sample.oldestTransitMs = std::max(sample.oldestTransitMs, arrivalMs - timestampMs);
    sample.newestTransitMs = arrivalMs - timestampMs;
    sample.stall = false;
    m_newestTimestampMs = timestampMs;
    m_samples[size_t(m_before.next)] = m_before.overwritten;
    m_count = m_before.count;
    m_next = m_before.next;
    m_lastStallMs = m_before.lastStallMs;
    m_stalls = m_before.stalls;
    store(sample, arrivalMs);
}

void PlayoutDelay::store(Sample sample, qint64 arrivalMs)
{
    // How late the arrival is beyond what the camera's packing explains.
    const qint64 span = sample.oldestTransitMs - sample.newestTransitMs;
    const qint64 transit = sample.oldestTransitMs - std::min(span, m_typicalSpanMs);
    sample.judgedTransitMs = transit;
    if (m_count >= kFirstArrivals && transit - m_baseMs > kStallMs) {
        sample.stall = true;
        m_lastStallMs = arrivalMs;
    } else if (m_lastStallMs >= 0) {
        // What arrives after a stall is its backlog, later and later less late, as fast as a
        // decoder works it off; a busy one leaves gaps of a frame or more now and then, so the
        // catching up is judged over a few arrivals. The burst ends with the first arrival back
        // within the jitter measured before the stall, or that is no longer catching up: the
        // lateness left then is the link's new normal, to be covered at once (audio that comes
        // later than its time would otherwise be dropped for as long as the burst lasted).
        const bool backToNormal = transit - m_baseMs <= m_jitterMs + kBurstMarginMs;
        const Sample &earlier =
            m_samples[size_t((m_next - std::min(m_count, kBurstSpan) + kWindow) % kWindow)];
        const bool catchingUp = earlier.judgedTransitMs - transit > kBurstMarginMs;
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
    // The jitter of the arrivals before a stall is what its burst is judged against.
    if (!sample.stall)
        recompute();
    else
        recomputeBase();
}

void PlayoutDelay::recomputeBase()
{
    qint64 base = std::numeric_limits<qint64>::max();
    for (int i = 0; i < m_count; ++i) {
        const Sample &sample = m_samples[size_t(i)];
        base = std::min(base, sample.newestTransitMs);
        m_scratch[size_t(i)] = sample.oldestTransitMs - sample.newestTransitMs;
    }
    m_baseMs = base;
    if (m_count > 0) {
        const int middle = m_count / 2;
        std::nth_element(m_scratch.begin(), m_scratch.begin() + middle,
                         m_scratch.begin() + m_count);
        m_typicalSpanMs = m_scratch[size_t(middle)];
    }
}

void PlayoutDelay::recompute()
{
    recomputeBase();
    const qint64 base = m_baseMs;
    int n = 0;
    qint64 span = 0;
    for (int i = 0; i < m_count; ++i) {
        const Sample &sample = m_samples[size_t(i)];
        if (sample.stall)
            continue;
        m_scratch[size_t(n++)] = sample.oldestTransitMs - base;
        span = std::max(span, sample.oldestTransitMs - sample.newestTransitMs);
    }
    m_spanMs = span;
    if (n == 0) {
        m_jitterMs = 0;
        return;
    }
    const int index = std::min(n - 1, (n * m_percentile + 99) / 100 - 1);
    std::nth_element(m_scratch.begin(), m_scratch.begin() + index, m_scratch.begin() + n);
    m_jitterMs = m_scratch[size_t(index)];
}
