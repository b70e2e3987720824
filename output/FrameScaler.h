#pragma once

#include "output/OutputFfmpegPtr.h"
#include "output/PictureOrientation.h"
#include "output/WebcamFormat.h"

#include <QtGlobal>

extern "C" {
#include <libavutil/frame.h>
}

#include <vector>

// Brings a picture of any pixel format and size FFmpeg describes to the webcam's one format
// (I420 or YUYV, limited range) and size, packed rows, turned as asked (a quarter-turn
// rotation, a mirror) and either fitted with black bars or filling the webcam's shape,
// cropped: the output's one conversion. Upright and unmirrored it is one libswscale pass into
// the output; turned or mirrored, libswscale scales into a buffer of the turned size and one
// pass of ours turns each plane into the output. A YUV420P picture already of the output size,
// upright, for an I420 webcam, skips it: handed on as it is when its planes lie one after the
// other with packed rows, else gathered into one buffer (the device takes a frame in one
// write). The buffers are allocated once, at construction; the scaling context is rebuilt only
// when the input's geometry, format or the orientation changes.
//
// One thread at a time (the sink's lock).
class FrameScaler
{
public:
    // The output size, both even and positive, and its pixel format.
    FrameScaler(int width, int height, WebcamFormat::Pixels pixels = WebcamFormat::Pixels::I420);

    // The picture at the output size and format (planes one after the other, packed rows), or
    // nullptr when the input is unusable. Valid until the next call, or as long as `picture`
    // when it is the picture's own buffer. `orientation` is applied as it is (the caller
    // combines the publisher's with the user's).
    const uchar *scale(const AVFrame *picture,
                       const PictureOrientation &orientation = PictureOrientation());

    int width() const { return m_width; }
    int height() const { return m_height; }
    WebcamFormat::Pixels pixels() const { return m_pixels; }
    int frameBytes() const { return static_cast<int>(m_out.size()); }
    // Pictures that needed a libswscale pass / a gather into one buffer / a turn (tests,
    // benchmarks).
    qint64 conversions() const { return m_conversions; }
    qint64 gathers() const { return m_gathers; }
    qint64 turns() const { return m_turns; }

    // Sizes of an I420 picture with the given luma row length.
    static qint64 i420Bytes(int width, int height, int stride);

private:
    // Where the picture goes in the output and which part of it is taken.
    struct Geometry
    {
        int placeX = 0, placeY = 0, placeWidth = 0, placeHeight = 0; // in the output
        int cropX = 0, cropY = 0, cropWidth = 0, cropHeight = 0;     // of the input
    };
    Geometry geometry(int width, int height, const PictureOrientation &orientation) const;
    void fillBlack();
    const uchar *gather(const AVFrame *picture);
    const uchar *convert(const AVFrame *picture, const PictureOrientation &orientation);
    // The planes of the turned buffer into the output at the geometry's place.
    void turnInto(const Geometry &geometry, const PictureOrientation &orientation);

    const int m_width;
    const int m_height;
    const WebcamFormat::Pixels m_pixels;
    std::vector<uchar> m_out;
    // libswscale's output before the turn: planar, the placed size before turning.
    std::vector<uchar> m_turnBuffer;
    outputffmpeg::SwsContextPtr m_sws;
    // Input geometry, format and orientation the bars and the context were made for.
    int m_lastWidth = 0;
    int m_lastHeight = 0;
    int m_lastFormat = -1;
    int m_lastRange = -1;
    int m_lastOrientation = -1;
    bool m_barsValid = false;
    int m_failedFormat = -1;   // said once until another one fails
    bool m_cropFailed = false; // said once
    qint64 m_conversions = 0;
    qint64 m_gathers = 0;
    qint64 m_turns = 0;
};
