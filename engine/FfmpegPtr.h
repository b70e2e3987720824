#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <string>

// Owning handles for FFmpeg objects. Each deleter calls the object's own free function, so a
// session's FFmpeg state is released by resetting or destroying its handle, never by a
// hand-written cleanup ladder. The *_free functions that take a pointer-to-pointer get a
// local copy, since unique_ptr hands the deleter the raw pointer.
namespace ffmpeg {

struct FormatContextDeleter
{
    // Inputs are opened with avformat_open_input, so closing also frees the context.
    void operator()(AVFormatContext *context) const { avformat_close_input(&context); }
};

struct CodecContextDeleter
{
    void operator()(AVCodecContext *context) const { avcodec_free_context(&context); }
};

struct FrameDeleter
{
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};

struct PacketDeleter
{
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};

struct DictionaryDeleter
{
    void operator()(AVDictionary *dictionary) const { av_dict_free(&dictionary); }
};

struct SwsContextDeleter
{
    void operator()(SwsContext *context) const { sws_freeContext(context); }
};

struct SwrContextDeleter
{
    void operator()(SwrContext *context) const { swr_free(&context); }
};

// The text of an FFmpeg error code (av_err2str is a C compound-literal macro).
inline std::string errorText(int error)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return std::string(text);
}

} // namespace ffmpeg

using AVFormatContextPtr = std::unique_ptr<AVFormatContext, ffmpeg::FormatContextDeleter>;
using AVCodecContextPtr = std::unique_ptr<AVCodecContext, ffmpeg::CodecContextDeleter>;
using AVFramePtr = std::unique_ptr<AVFrame, ffmpeg::FrameDeleter>;
using AVPacketPtr = std::unique_ptr<AVPacket, ffmpeg::PacketDeleter>;
using AVDictionaryPtr = std::unique_ptr<AVDictionary, ffmpeg::DictionaryDeleter>;
using SwsContextPtr = std::unique_ptr<SwsContext, ffmpeg::SwsContextDeleter>;
using SwrContextPtr = std::unique_ptr<SwrContext, ffmpeg::SwrContextDeleter>;
