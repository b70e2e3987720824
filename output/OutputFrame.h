#pragma once

#include <QtGlobal>

// One frame as the output backends receive it: an I420 picture and, optionally, interleaved
// signed 16-bit audio. It only points at the caller's buffers, which stay valid until the put
// returns; a backend that needs the data later copies it into storage it allocated once.
struct OutputFrame
{
    // Y, U and V planes one after the other; chroma rows are stride / 2 bytes.
    const uchar *video = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0; // bytes per luma row; 0 means rows packed (width bytes)
    // The stream's exact frame rate (30000/1001 for 29.97 fps); 0/0 on card frames.
    int rateNum = 0;
    int rateDen = 0;
    // Interleaved signed 16-bit samples; null (and the counts 0) without audio.
    const qint16 *audio = nullptr;
    int samples = 0; // per channel
    int sampleRate = 0;
    int channels = 0;
};
