#include "output/PictureOrientation.h"

extern "C" {
#include <libavutil/display.h>
#include <libavutil/frame.h>
}

#include <cmath>
#include <cstring>

int PictureOrientation::quarterTurn(double degrees)
{
    if (!std::isfinite(degrees))
        return 0;
    const long quarters = std::lround(degrees / 90.0);
    return static_cast<int>(((quarters % 4) + 4) % 4) * 90;
}

PictureOrientation PictureOrientation::after(const PictureOrientation &publisher) const
{
    // Ours after the publisher's is mirror^m turn(r) mirror^pm turn(pr). A turn after a mirror
    // is the mirror after the opposite turn, so with the publisher's mirror our turn counts
    // backwards.
    PictureOrientation combined;
    combined.fill = fill;
    combined.mirror = mirror != publisher.mirror;
    combined.rotation = publisher.mirror ? (publisher.rotation - rotation + 360) % 360
                                         : (publisher.rotation + rotation) % 360;
    return combined;
}

PictureOrientation PictureOrientation::fromDisplayMatrix(const qint32 *matrix)
{
    PictureOrientation orientation;
    if (!matrix)
        return orientation;
    int32_t copy[9];
    std::memcpy(copy, matrix, sizeof copy);
    // A negative determinant of the 2x2 part is a mirror; taking it out leaves the turn.
    const double determinant =
        static_cast<double>(copy[0]) * copy[4] - static_cast<double>(copy[1]) * copy[3];
    if (determinant < 0) {
        orientation.mirror = true;
        av_display_matrix_flip(copy, 1, 0);
    }
    // The matrix turns the picture counter-clockwise by this angle; showing it upright turns
    // it back, clockwise.
    const double counterClockwise = av_display_rotation_get(copy);
    orientation.rotation = quarterTurn(-counterClockwise);
    return orientation;
}

PictureOrientation PictureOrientation::ofPicture(const AVFrame *picture)
{
    if (!picture)
        return PictureOrientation();
    const AVFrameSideData *side = av_frame_get_side_data(picture, AV_FRAME_DATA_DISPLAYMATRIX);
    if (!side || side->size < static_cast<decltype(side->size)>(9 * sizeof(int32_t)))
        return PictureOrientation();
    return fromDisplayMatrix(reinterpret_cast<const qint32 *>(side->data));
}
