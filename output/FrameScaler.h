#pragma once

#include "output/OutputFfmpegPtr.h"

extern "C" {
#include <libavutil/frame.h>
}

#include <QtGlobal>

#include <vector>

// Brings any I420 picture to one fixed output size, packed rows, keeping the picture's aspect
// with black bars. The output buffer is allocated once, at construction; the scaling context
// is rebuilt only when the input geometry changes. One thread at a time (the sink's lock).
class FrameScaler
{
public:
    // width and height: the output size, both even and positive.
    FrameScaler(int width, int height);

    // The picture (YUV420P) at the output size, packed rows, planes one after the other; or
    // nullptr when the input is unusable. Returns the picture's own buffer when it already is
    // laid out so (no copy).
    const uchar *scale(const AVFrame *picture);

    int width() const { return m_width; }
    int height() const { return m_height; }
    int frameBytes() const { return static_cast<int>(m_out.size()); }

    // Sizes of an I420 picture with the given luma row length.
    static qint64 i420Bytes(int width, int height, int stride);

private:
    void fillBlack();

    const int m_width;
    const int m_height;
    std::vector<uchar> m_out;
    outputffmpeg::SwsContextPtr m_sws;
    // Input geometry the bars and the context were made for.
    int m_lastWidth = 0;
    int m_lastHeight = 0;
    bool m_barsValid = false;
};
