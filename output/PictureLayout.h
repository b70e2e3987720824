#pragma once

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

// Whether `picture` describes a picture libswscale can read whole: a format FFmpeg describes
// in memory (not a hardware surface), a size, and every plane there with rows at least as
// long as the format needs. A picture failing this is dropped, never read past its rows.
inline bool readablePicture(const AVFrame *picture)
{
    if (!picture || picture->width <= 0 || picture->height <= 0)
        return false;
    const auto format = static_cast<AVPixelFormat>(picture->format);
    const AVPixFmtDescriptor *descriptor = av_pix_fmt_desc_get(format);
    if (!descriptor || (descriptor->flags & AV_PIX_FMT_FLAG_HWACCEL))
        return false;
    const int planes = av_pix_fmt_count_planes(format);
    if (planes <= 0)
        return false;
    for (int plane = 0; plane < planes; ++plane) {
        const int needed = av_image_get_linesize(format, picture->width, plane);
        if (!picture->data[plane] || needed <= 0 || picture->linesize[plane] < needed)
            return false;
    }
    return true;
}
