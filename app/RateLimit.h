#pragma once

#include <QtGlobal>

#include <atomic>
#include <chrono>

// Per-second limit for trouble a peer can trigger at will (failing decodes, garbage on the
// wire): the first occurrence of each second is let through, the rest are only counted, and
// the first occurrence of a later second carries the count of the second before (the summary
// line: "N in the last second"). Unlike LogThrottle (first and every hundredth), a flood costs
// at most one line per second however fast it comes.
//
// Any thread, lock-free; allocates nothing.
class RateLimit
{
public:
    static constexpr qint64 kWindowMs = 1000;

    // Counts one occurrence at nowMs (a steady clock); true when it is to be reported. Then
    // *suppressed gets how many were held back since the last reported one.
    bool allow(qint64 nowMs, qint64 *suppressed = nullptr)
    {
        m_total.fetch_add(1, std::memory_order_relaxed);
        qint64 start = m_windowStartMs.load(std::memory_order_relaxed);
        if (start >= 0 && nowMs - start < kWindowMs) {
            m_held.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        // One thread wins the new window; the others count as held back.
        if (!m_windowStartMs.compare_exchange_strong(start, nowMs, std::memory_order_relaxed)) {
            m_held.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        const qint64 held = m_held.exchange(0, std::memory_order_relaxed);
        if (suppressed)
            *suppressed = held;
        return true;
    }
    bool allow(qint64 *suppressed = nullptr) { return allow(nowMs(), suppressed); }
    qint64 total() const { return m_total.load(std::memory_order_relaxed); }

    static qint64 nowMs()
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

private:
    std::atomic<qint64> m_windowStartMs{-1};
    std::atomic<qint64> m_held{0};
    std::atomic<qint64> m_total{0};
};
