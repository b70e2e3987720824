#pragma once

#include <QString>

// The largest picture a session takes: 4096x2304, or 2304x4096 for a camera held upright. A
// publisher chooses its picture size, and every stage after the decoder holds pictures of it:
// beyond this a session is refused before anything is sized for the picture.
//
// Plain functions of the size; any thread.
class PictureLimit
{
public:
    static constexpr int kMaxLongSide = 4096;
    static constexpr int kMaxShortSide = 2304;
    // The decoder's own bound (libavcodec's max_pixels): any picture that fits is below it.
    static constexpr int kMaxPixels = kMaxLongSide * kMaxShortSide;

    // True when a picture of this size fits either way round. A size not known yet (0 or less
    // in either term) fits: only a known size is refused.
    static bool fits(int width, int height);
    // The state text a refused session leaves in the window, naming the size.
    static QString refusal(int width, int height);
};
