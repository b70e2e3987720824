#pragma once

#include <QLoggingCategory>

// The microphone's own lines ("MIC: ..."), apart from the rest of the output's.
Q_DECLARE_LOGGING_CATEGORY(lcMicrophone)

namespace microphonelog {

// How often a line that a peer can trigger over and over may be logged.
constexpr qint64 kRepeatIntervalMs = 10000;

// True when such a line may be logged now; `lastMs` (steady ms, -1 never) is the line's own
// and belongs to the one thread that logs it.
bool due(qint64 &lastMs);

} // namespace microphonelog
