#include "engine/SessionTime.h"

extern "C" {
#include <libavutil/avutil.h>
}

#include <chrono>
#include <cmath>

namespace sessiontime {

qint64 ptsToMs(qint64 pts, AVRational timeBase)
{
    if (pts == AV_NOPTS_VALUE || timeBase.den == 0)
        return AV_NOPTS_VALUE;
    // 128-bit product: a hostile pts must not overflow into undefined behaviour.
    const __int128 product = __int128(timeBase.num) * pts * 1000;
    const double ms = double(product) / timeBase.den;
    if (!(std::fabs(ms) < 9.0e18))
        return AV_NOPTS_VALUE;
    return qint64(ms);
}

int detectFps(AVRational frameRate)
{
    if (frameRate.num <= 0 || frameRate.den <= 0)
        return 0;
    const float x = float(frameRate.num) / float(frameRate.den);
    int fps;
    if (x > 29 && x < 32)
        fps = 30;
    else if (x > 57 && x < 62)
        fps = 60;
    else
        fps = int(x);
    // Below 1 fps the truncated rate would be 0, which the clock divides by.
    return qMax(fps, 1);
}

} // namespace sessiontime

qint64 sessiontime::monotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
