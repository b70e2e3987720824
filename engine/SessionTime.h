#pragma once

#include <QtGlobal>

extern "C" {
#include <libavutil/rational.h>
}

namespace sessiontime {

// A pts in milliseconds of its time base, as the integer product num * pts * 1000 divided in
// double precision by den and truncated toward zero. AV_NOPTS_VALUE, a zero denominator and a
// result beyond ±9e18 give AV_NOPTS_VALUE. Any thread.
qint64 ptsToMs(qint64 pts, AVRational timeBase);

// The output frame rate for a stream frame rate: 29–32 is 30, 57–62 is 60, others truncated,
// never below 1; 0 for a rate with a zero or negative term. Any thread.
int detectFps(AVRational frameRate);

// Milliseconds of the monotonic clock (CLOCK_MONOTONIC): arrival and delivery times are
// compared on it across threads. Any thread.
qint64 monotonicMs();

} // namespace sessiontime
