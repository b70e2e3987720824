#pragma once

#include <QString>

// What the virtual webcam offers the programs that read it: its size, its pixel format and
// whether its frame rate is a fixed 30 or the camera's own.
//
// A plain value; any thread.
struct WebcamFormat
{
    enum class Pixels
    {
        I420, // V4L2_PIX_FMT_YUV420, planar 4:2:0
        Yuyv  // V4L2_PIX_FMT_YUYV, packed 4:2:2 (Y0 U Y1 V)
    };

    static constexpr int kFixedFps = 30;

    int width = 1280;
    int height = 720;
    Pixels pixels = Pixels::I420;
    bool fixedRate = false; // true: 30 fps; false: the camera's rate

    bool operator==(const WebcamFormat &other) const
    {
        return width == other.width && height == other.height && pixels == other.pixels &&
               fixedRate == other.fixedRate;
    }
    bool operator!=(const WebcamFormat &other) const { return !(*this == other); }

    // Bytes of one picture in this format, rows packed.
    qint64 frameBytes() const
    {
        const qint64 luma = static_cast<qint64>(width) * height;
        return pixels == Pixels::Yuyv ? 2 * luma : luma + luma / 2;
    }
    // "1280x720 I420", as the log says it.
    QString text() const
    {
        return QStringLiteral("%1x%2 %3")
            .arg(width)
            .arg(height)
            .arg(pixels == Pixels::Yuyv ? QStringLiteral("YUYV") : QStringLiteral("I420"));
    }
};
