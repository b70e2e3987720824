#pragma once

#include <QtGlobal>

// Converts `samples` sample frames of planar 32-bit float audio into interleaved signed 16-bit
// stereo at `destination` (2 × samples values). Plane 1 starts `samples` floats after plane 0;
// a mono source (channels 1) is written to both sides, planes beyond the second are ignored.
// Each value is clamped to [-1.0, 1.0], scaled by 32767 and truncated toward zero; NaN gives 0.
// Any thread; no allocation.
void floatPlanarToS16Stereo(qint16 *destination, const float *planes, int samples, int channels);
