#include "engine/AudioConvert.h"

namespace {

qint16 toS16(float value)
{
    // Written so that NaN fails both tests and ends up as 0 instead of an undefined conversion.
    if (!(value >= -1.0f))
        value = value < 0.0f ? -1.0f : 0.0f;
    else if (value > 1.0f)
        value = 1.0f;
    return qint16(value * 32767.0f);
}

} // namespace

void floatPlanarToS16Stereo(qint16 *destination, const float *planes, int samples, int channels)
{
    if (samples <= 0 || channels <= 0)
        return;
    const float *left = planes;
    const float *right = channels == 1 ? planes : planes + samples;
    for (int i = 0; i < samples; ++i) {
        destination[2 * i] = toS16(left[i]);
        destination[2 * i + 1] = toS16(right[i]);
    }
}
