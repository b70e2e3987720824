#pragma once

#include "output/OutputFfmpegPtr.h"

#include <QtGlobal>

extern "C" {
#include <libavutil/frame.h>
}

#include <vector>

// Brings a picture of any pixel format and size FFmpeg describes to the webcam's one format
// (I420, limited range) and size, packed rows, keeping the picture's aspect with black bars:
// one libswscale pass, the output's one conversion. A YUV420P picture already of the output
// size skips it: handed on as it is when its planes lie one after the other with packed rows,
// else gathered into one buffer (the device takes a frame in one write). The output buffer is
// allocated once, at construction; the scaling context is rebuilt only when the input's
// geometry or format changes.
//
// One thread at a time (the sink's lock).
class FrameScaler
{
public:
    // width and height: the output size, both even and positive.
    FrameScaler(int width, int height);

    // The picture at the output size (I420, planes one after the other, packed rows), or
    // nullptr when the input is unusable. Valid until the next call, or as long as `picture`
    // when it is the picture's own buffer.
    const uchar *scale(const AVFrame *picture);

    int width() const { return m_width; }
    int height() const { return m_height; }
    int frameBytes() const { return static_cast<int>(m_out.size()); }
    // Pictures that needed a libswscale pass / a gather into one buffer (tests, benchmarks).
    qint64 conversions() const { return m_conversions; }
    qint64 gathers() const { return m_gathers; }

    // Sizes of an I420 picture with the given luma row length.
    static qint64 i420Bytes(int width, int height, int stride);

private:
    void fillBlack();
    const uchar *gather(const AVFrame *picture);
    const uchar *convert(const AVFrame *picture);

    const int m_width;
    const int m_height;
    std::vector<uchar> m_out;
    outputffmpeg::SwsContextPtr m_sws;
    // Input geometry and format the bars and the context were made for.
    int m_lastWidth = 0;
    int m_lastHeight = 0;
    int m_lastFormat = -1;
    int m_lastRange = -1;
    bool m_barsValid = false;
    int m_failedFormat = -1; // said once until another one fails
    qint64 m_conversions = 0;
    qint64 m_gathers = 0;
};
