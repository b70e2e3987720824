#pragma once

extern "C" {
#include <libavutil/frame.h>
}

#include <QtGlobal>

#include <cstring>

// A YUV420P picture of one grey level (neutral chroma), for filling frame queues; the caller
// frees it with av_frame_free.
inline AVFrame *makeTestPicture(int width, int height, int luma)
{
    AVFrame *frame = av_frame_alloc();
    if (!frame)
        qFatal("no picture");
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame, 0) < 0)
        qFatal("no picture buffer");
    std::memset(frame->data[0], luma, size_t(frame->linesize[0]) * height);
    std::memset(frame->data[1], 128, size_t(frame->linesize[1]) * (height / 2));
    std::memset(frame->data[2], 128, size_t(frame->linesize[2]) * (height / 2));
    return frame;
}
