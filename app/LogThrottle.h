#pragma once

#include <QtGlobal>

#include <atomic>

// Counts a kind of repeated trouble (dropped packets, failed conversions, oversized frames)
// and says when a line about it is due: the first time, then every kEvery-th time, so a peer
// that triggers it a thousand times a second gets ten lines, not a thousand. The count is
// the figure the line reports. One writer thread; count() from any thread.
class LogThrottle
{
public:
    static constexpr qint64 kEvery = 100;

    // Counts one occurrence; true when it is to be logged.
    bool count()
    {
        const qint64 n = m_count.fetch_add(1, std::memory_order_relaxed) + 1;
        return n == 1 || n % kEvery == 0;
    }
    qint64 total() const { return m_count.load(std::memory_order_relaxed); }
    void reset() { m_count.store(0, std::memory_order_relaxed); }

private:
    std::atomic<qint64> m_count{0};
};
