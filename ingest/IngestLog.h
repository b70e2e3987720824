#pragma once

#include <QLoggingCategory>

// The listener, its gate and its intake pool.
Q_DECLARE_LOGGING_CATEGORY(lcIngest)
// The RTMP and SRT relays, one line or two per connection.
Q_DECLARE_LOGGING_CATEGORY(lcRelay)
// The SRT listener.
Q_DECLARE_LOGGING_CATEGORY(lcSrt)
