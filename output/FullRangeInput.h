#pragma once

extern "C" {
#include <libswscale/swscale.h>
}

// Tells a libswscale context that its input is full range (0-255) and its output limited
// range (16-235), keeping the context's matrices and adjustments. Needed for full-range
// pictures whose pixel format does not say so (the J formats do). False when libswscale
// refuses; the caller logs it. The thread that owns the context.
inline bool setFullRangeInput(SwsContext *context)
{
    int *inverse = nullptr;
    int *table = nullptr;
    int srcRange = 0;
    int dstRange = 0;
    int brightness = 0;
    int contrast = 0;
    int saturation = 0;
    if (sws_getColorspaceDetails(context, &inverse, &srcRange, &table, &dstRange, &brightness,
                                 &contrast, &saturation) < 0)
        return true; // a context without colourspace details (a plain copy) has nothing to set
    return sws_setColorspaceDetails(context, inverse, 1, table, 0, brightness, contrast,
                                    saturation) >= 0;
}
