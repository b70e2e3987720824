#include "engine/PictureLimit.h"

#include <algorithm>

bool PictureLimit::fits(int width, int height)
{
    if (width <= 0 || height <= 0)
        return true;
    return std::max(width, height) <= kMaxLongSide && std::min(width, height) <= kMaxShortSide;
}

QString PictureLimit::refusal(int width, int height)
{
    return QStringLiteral("picture too large: %1x%2 (at most %3x%4)")
        .arg(width)
        .arg(height)
        .arg(kMaxLongSide)
        .arg(kMaxShortSide);
}
