#pragma once

#include "engine/FfmpegPtr.h"

#include <QtGlobal>

#include <new>

// An AVFrame allocated once that describes a YUV420P picture in someone else's buffer (Y, U
// and V planes one after the other), so a picture can be handed on as an AVFrame without a
// copy and without an allocation per frame. The frame is not reference-counted: it is valid
// only as long as the buffer, and a receiver that keeps it copies it.
//
// One thread at a time (its owner's).
class WrappedPicture
{
public:
    WrappedPicture() : m_frame(av_frame_alloc())
    {
        // av_frame_alloc fails only when memory is exhausted.
        if (!m_frame)
            throw std::bad_alloc();
    }
    WrappedPicture(const WrappedPicture &) = delete;
    WrappedPicture &operator=(const WrappedPicture &) = delete;

    // `stride`: bytes per luma row, 0 for packed rows; chroma rows are (stride + 1) / 2 bytes.
    // Null when `buffer` is null.
    const AVFrame *wrap(const uchar *buffer, int width, int height, int stride)
    {
        if (!buffer)
            return nullptr;
        if (stride <= 0)
            stride = width;
        const int chromaStride = (stride + 1) / 2;
        uint8_t *y = const_cast<uint8_t *>(buffer);
        uint8_t *u = y + static_cast<qint64>(stride) * height;
        uint8_t *v = u + static_cast<qint64>(chromaStride) * ((height + 1) / 2);
        m_frame->format = AV_PIX_FMT_YUV420P;
        m_frame->width = width;
        m_frame->height = height;
        m_frame->data[0] = y;
        m_frame->data[1] = u;
        m_frame->data[2] = v;
        m_frame->linesize[0] = stride;
        m_frame->linesize[1] = chromaStride;
        m_frame->linesize[2] = chromaStride;
        return m_frame.get();
    }

private:
    const AVFramePtr m_frame;
};
