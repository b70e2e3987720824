#pragma once

#include <QtGlobal>

struct AVFrame;

// One frame as the delivery policy hands it on: the picture on show with the audio due at this
// tick. Everything is the policy's and stays valid until deliver() returns; the picture is the
// decoder's own, as the queue held it (any pixel format and size FFmpeg describes).
struct DeliveredFrame
{
    // The picture on show, a reference the policy holds while it is shown: with `newPicture`
    // false the previous picture again, the same reference. Null before the first one.
    const AVFrame *picture = nullptr;
    // Planar 32-bit float, one plane per channel (mono is put on both sides); null without
    // audio. Values are the decoder's: they may lie beyond full scale.
    const float *const *audio = nullptr;
    int samples = 0; // per channel
    int sampleRate = 0;
    int channels = 0;
    qint64 pictureMs = -1;   // session time of the picture
    bool newPicture = false; // false when the previous picture is shown again
};

// Where the delivery policy's frames go. Playout thread.
class DeliverySink
{
public:
    virtual ~DeliverySink() = default;
    virtual void deliver(const DeliveredFrame &frame) = 0;
};
