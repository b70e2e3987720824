#pragma once

#include <QtGlobal>

// The picture size an H.264 sequence parameter set announces, read without a decoder. FFmpeg's
// stream discovery decodes the first pictures of a stream to learn its parameters, allocating
// each at the size its header names, before anything can be told of that size: reading the
// size from the RTMP stream's sequence header (the "avcC" record FLV carries) first lets an
// intake refuse a picture too large before that.
//
// Plain functions of the bytes; any thread; no allocation (the SPS is unescaped into a
// fixed buffer on the stack).
class H264SpsSize
{
public:
    // The longest SPS read; real ones are a few dozen bytes, with scaling lists a few hundred.
    static constexpr int kMaxSpsBytes = 1024;

    // From an "avcC" record (ISO/IEC 14496-15 decoder configuration), its first SPS. False
    // when the record or the SPS cannot be read. Sizes beyond int are reported as INT_MAX.
    static bool fromAvcC(const uint8_t *data, int size, int *width, int *height);
    // From one SPS NAL unit (header byte included, emulation prevention bytes still in).
    static bool fromSps(const uint8_t *nal, int size, int *width, int *height);
};
