#pragma once

extern "C" {
#include <libavutil/frame.h>
}

#include <QtGlobal>

#include <atomic>
#include <cstring>
#include <utility>

// A picture of one grey level (neutral chroma where it has chroma), in reference-counted
// buffers as a decoder hands them out, for filling frame queues; the caller frees it with
// av_frame_free. With `freed`, the buffer of the first plane adds one to it when it is let go.
inline AVFrame *makeTestPicture(int width, int height, int luma, std::atomic<int> *freed = nullptr,
                                AVPixelFormat format = AV_PIX_FMT_YUV420P)
{
    AVFrame *frame = av_frame_alloc();
    if (!frame)
        qFatal("no picture");
    frame->format = format;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame, 0) < 0)
        qFatal("no picture buffer");
    std::memset(frame->data[0], luma, size_t(frame->linesize[0]) * height);
    for (int plane = 1; plane < 3 && frame->data[plane]; ++plane)
        std::memset(frame->data[plane], 128, size_t(frame->linesize[plane]) * ((height + 1) / 2));
    if (freed) {
        // The first plane's buffer wrapped in one that counts its release.
        using Inner = std::pair<AVBufferRef *, std::atomic<int> *>;
        AVBufferRef *inner = frame->buf[0];
        frame->buf[0] = av_buffer_create(
            inner->data, inner->size,
            [](void *opaque, uint8_t *) {
                auto *held = static_cast<Inner *>(opaque);
                av_buffer_unref(&held->first);
                held->second->fetch_add(1);
                delete held;
            },
            new Inner(inner, freed), 0);
        if (!frame->buf[0])
            qFatal("no counted buffer");
    }
    return frame;
}
