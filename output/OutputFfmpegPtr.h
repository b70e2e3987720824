#pragma once

extern "C" {
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <memory>

// Owning handles for the FFmpeg objects of the output backends (output/ sits below engine/,
// so it keeps its own small set).
namespace outputffmpeg {

struct SwsContextDeleter
{
    void operator()(SwsContext *context) const { sws_freeContext(context); }
};
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;

struct SwrContextDeleter
{
    void operator()(SwrContext *context) const { swr_free(&context); }
};
using SwrContextPtr = std::unique_ptr<SwrContext, SwrContextDeleter>;

struct FrameDeleter
{
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};
using AVFramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

} // namespace outputffmpeg
