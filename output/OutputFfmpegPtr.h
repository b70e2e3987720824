#pragma once

extern "C" {
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

} // namespace outputffmpeg
