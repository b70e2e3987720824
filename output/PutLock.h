#pragma once

#include <mutex>

// The lock an output takes for one put, following the put's wait value: a negative value
// waits for a put under way on another thread; any other value gives up at once when the
// output is busy, and the caller drops the frame (check owns_lock()).
inline std::unique_lock<std::mutex> lockForPut(std::mutex &lock, int waitMs)
{
    if (waitMs < 0)
        return std::unique_lock<std::mutex>(lock);
    return std::unique_lock<std::mutex>(lock, std::try_to_lock);
}
