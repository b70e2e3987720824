#pragma once

#include "engine/FfmpegPtr.h"
#include "engine/OutputSink.h"
#include "PlanarAudio.h"

#include <QtGlobal>

// Sends an I420 picture held in one buffer (Y, U, V planes one after the other, `stride` bytes
// per luma row, chroma rows (stride + 1) / 2) to an output as the engine does, described in
// place by an AVFrame, with interleaved signed 16-bit audio handed over as the planar float the
// outputs take (`samples` per channel; the buffer may be null while the counts are not, as a
// broken caller's would be). `pixelFormat` labels the picture with another format, to see it
// refused.
inline void sendI420(OutputSink &sink, const uchar *video, int width, int height, int stride,
                     const qint16 *audio = nullptr, int samples = 0, int sampleRate = 0,
                     int channels = 0, int pixelFormat = AV_PIX_FMT_YUV420P)
{
    OutputFrame frame;
    AVFramePtr picture(av_frame_alloc());
    if (video && picture) {
        if (stride <= 0)
            stride = width;
        const int chromaStride = (stride + 1) / 2;
        uint8_t *y = const_cast<uint8_t *>(video);
        picture->format = pixelFormat;
        picture->width = width;
        picture->height = height;
        picture->data[0] = y;
        picture->data[1] = y + qint64(stride) * height;
        picture->data[2] = picture->data[1] + qint64(chromaStride) * ((height + 1) / 2);
        picture->linesize[0] = stride;
        picture->linesize[1] = chromaStride;
        picture->linesize[2] = chromaStride;
        frame.picture = picture.get();
    }
    const PlanarAudio planar(audio, samples, channels);
    frame.audio = planar.planes();
    frame.samples = samples;
    frame.sampleRate = sampleRate;
    frame.channels = channels;
    sink.sendFrame(frame);
}
