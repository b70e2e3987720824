#pragma once

#include <QtGlobal>

struct AVFrame;

// How a picture is turned on its way to the webcam: a clockwise rotation by a quarter turn
// (0, 90, 180, 270 degrees), then a mirror (left and right of the turned picture swapped), and
// whether it fits inside the webcam's shape with black bars or fills it, cropped.
//
// A plain value; any thread.
struct PictureOrientation
{
    int rotation = 0; // degrees clockwise: 0, 90, 180 or 270
    bool mirror = false;
    bool fill = false;

    bool operator==(const PictureOrientation &other) const
    {
        return rotation == other.rotation && mirror == other.mirror && fill == other.fill;
    }
    bool operator!=(const PictureOrientation &other) const { return !(*this == other); }
    bool identity() const { return rotation == 0 && !mirror; }

    // Any angle to the nearest quarter turn in 0..270.
    static int quarterTurn(double degrees);

    // This orientation (the user's) applied to what `publisher` (its rotation metadata) gives:
    // one orientation doing both. `fill` is this one's.
    PictureOrientation after(const PictureOrientation &publisher) const;

    // The publisher's orientation from a picture's display matrix (frame side data
    // AV_FRAME_DATA_DISPLAYMATRIX), or from a stream's (`matrix`: nine int32 values, as
    // AV_PKT_DATA_DISPLAYMATRIX holds them); identity without one.
    static PictureOrientation fromDisplayMatrix(const qint32 *matrix);
    static PictureOrientation ofPicture(const AVFrame *picture);

    // Packed into one int for an atomic, and back.
    int pack() const { return (rotation / 90) | (mirror ? 4 : 0) | (fill ? 8 : 0); }
    static PictureOrientation unpack(int packed)
    {
        PictureOrientation orientation;
        orientation.rotation = (packed & 3) * 90;
        orientation.mirror = packed & 4;
        orientation.fill = packed & 8;
        return orientation;
    }
};
