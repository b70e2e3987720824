#include "output/MicrophoneLog.h"

#include <chrono>

Q_LOGGING_CATEGORY(lcMicrophone, "quorvix.output.mic", QtInfoMsg)

namespace microphonelog {

bool due(qint64 &lastMs)
{
    const qint64 now = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
    if (lastMs >= 0 && now - lastMs < kRepeatIntervalMs)
        return false;
    lastMs = now;
    return true;
}

} // namespace microphonelog
