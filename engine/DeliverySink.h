#pragma once

#include <QtGlobal>

// One frame as the delivery policy hands it on: the picture on show (a new one or the
// previous one again) with the audio due at this tick. The buffers are the policy's and stay
// valid until deliver() returns.
struct DeliveredFrame
{
    const uchar *video = nullptr; // YUV420P, planes one after the other
    int pixelFormat = 0;          // AV_PIX_FMT_YUV420P
    int width = 0;
    int height = 0;
    int stride = 0;                // luma line size; chroma stride / 2
    const qint16 *audio = nullptr; // interleaved signed 16-bit stereo; null without audio
    int samples = 0;               // per channel
    int sampleRate = 0;
    int channels = 0;
    qint64 pictureMs = -1;   // session time of the picture
    bool newPicture = false; // false when the previous picture is shown again
};

// Where the delivery policy's frames go. Delivery worker thread.
class DeliverySink
{
public:
    virtual ~DeliverySink() = default;
    virtual void deliver(const DeliveredFrame &frame) = 0;
};
