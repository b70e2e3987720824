#pragma once

#include "engine/FfmpegPtr.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <cstring>

// A picture of one colour (Y, U, V as the format stores them) in any planar YUV format, NV12
// or UYVY. `backToBack`: the planes in one buffer one after the other with packed rows (as the
// engine's own buffers and NDI lay them out); otherwise as FFmpeg allocates a decoder's
// frame, rows padded and planes apart. Null if FFmpeg cannot allocate it.
inline AVFramePtr solidPicture(AVPixelFormat format, int width, int height, int y, int u, int v,
                               bool backToBack = false)
{
    AVFramePtr frame(av_frame_alloc());
    if (!frame)
        return nullptr;
    frame->format = format;
    frame->width = width;
    frame->height = height;
    if (backToBack) {
        const int bytes = av_image_get_buffer_size(format, width, height, 1);
        frame->buf[0] = bytes > 0 ? av_buffer_alloc(static_cast<size_t>(bytes)) : nullptr;
        if (!frame->buf[0] ||
            av_image_fill_arrays(frame->data, frame->linesize, frame->buf[0]->data, format, width,
                                 height, 1) < 0)
            return nullptr;
    } else if (av_frame_get_buffer(frame.get(), 64) < 0) {
        return nullptr;
    }
    const AVPixFmtDescriptor *descriptor = av_pix_fmt_desc_get(format);
    const int chromaHeight = AV_CEIL_RSHIFT(height, descriptor->log2_chroma_h);
    if (format == AV_PIX_FMT_UYVY422) {
        for (int row = 0; row < height; ++row) {
            uint8_t *line = frame->data[0] + row * frame->linesize[0];
            for (int x = 0; x + 1 < width; x += 2) {
                line[2 * x] = uint8_t(u);
                line[2 * x + 1] = uint8_t(y);
                line[2 * x + 2] = uint8_t(v);
                line[2 * x + 3] = uint8_t(y);
            }
        }
        return frame;
    }
    for (int row = 0; row < height; ++row)
        std::memset(frame->data[0] + row * frame->linesize[0], y, size_t(width));
    const int chromaWidth = AV_CEIL_RSHIFT(width, descriptor->log2_chroma_w);
    for (int row = 0; row < chromaHeight; ++row) {
        if (format == AV_PIX_FMT_NV12 || format == AV_PIX_FMT_NV21) {
            uint8_t *line = frame->data[1] + row * frame->linesize[1];
            const bool vFirst = format == AV_PIX_FMT_NV21;
            for (int x = 0; x < chromaWidth; ++x) {
                line[2 * x] = uint8_t(vFirst ? v : u);
                line[2 * x + 1] = uint8_t(vFirst ? u : v);
            }
        } else {
            std::memset(frame->data[1] + row * frame->linesize[1], u, size_t(chromaWidth));
            std::memset(frame->data[2] + row * frame->linesize[2], v, size_t(chromaWidth));
        }
    }
    return frame;
}
