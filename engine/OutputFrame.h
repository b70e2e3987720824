#pragma once

#include <QtGlobal>

struct AVFrame;

// One frame as the outputs receive it: a picture as FFmpeg describes it and, optionally, the
// audio due with it. It only points at the caller's data, which stays valid until the call
// returns.
struct OutputFrame
{
    // The picture in any pixel format and size FFmpeg describes (format, width, height,
    // data[], linesize[]); null: audio only, the picture on show stays. Valid until the
    // call returns; whoever keeps it takes a reference (av_frame_ref) when it is
    // reference-counted (buf[0] set), else copies it once into storage it allocated once.
    const AVFrame *picture = nullptr;
    int rateNum = 0; // exact frame rate; 0/0 on card frames
    int rateDen = 0;
    // Audio due with this frame: planar float, one plane per channel, as the decoder's samples
    // (values may lie beyond full scale); null (and the counts 0) without.
    const float *const *audio = nullptr;
    int samples = 0; // per channel
    int sampleRate = 0;
    int channels = 0;
    // The publisher's display matrix (nine values, FFmpeg's layout) when its stream carried
    // one, or null; valid until the call returns.
    const qint32 *displayMatrix = nullptr;
};
