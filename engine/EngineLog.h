#pragma once

#include <QLoggingCategory>

// The engine's log category. Per-frame and per-tick lines are debug lines, off by default
// (QT_LOGGING_RULES="quorvix.engine.debug=true" turns them on); state changes and warnings
// are info and warning lines.
Q_DECLARE_LOGGING_CATEGORY(lcEngine)
