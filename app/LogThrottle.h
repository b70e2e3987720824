#pragma once

#include "app/RateLimit.h"

#include <QtGlobal>

#include <atomic>

// Counts a kind of repeated trouble (dropped packets, failed conversions, oversized frames,
// failing decodes) and says when a line about it is due: the first time, then at most once a
// second, so a peer that triggers it a thousand times a second gets one line a second, not a
// thousand. total() is the figure the line reports; held() how many came since the previous
// line without one (the count of the second before). Any thread.
class LogThrottle
{
public:
    // Counts one occurrence; true when it is to be logged.
    bool count()
    {
        qint64 held = 0;
        if (!m_limit.allow(&held))
            return false;
        m_held.store(held, std::memory_order_relaxed);
        return true;
    }
    qint64 total() const { return m_limit.total(); }
    // At a line that is due: occurrences since the previous line that got none.
    qint64 held() const { return m_held.load(std::memory_order_relaxed); }

private:
    RateLimit m_limit;
    std::atomic<qint64> m_held{0};
};
