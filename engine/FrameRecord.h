#pragma once

#include <QtGlobal>

struct AVFrame;

// What a FrameQueue knows of one queued frame. `frame` is the queue's reference to the decoded
// frame: it stays valid while the record is queued (for the consumer, until it pops, drops or
// clears that record); a record handed out by a pop points at the caller's frame instead.
struct FrameRecord
{
    qint64 timestamp = 0;     // session timestamp in ms
    AVFrame *frame = nullptr; // the decoded frame; see above for how long it lives
    qint64 bytes = 0;         // bytes of the buffers the frame references (the budget's measure)
    double durationMs = 0.0;
    qint64 arrivalMs = -1; // when it was queued, on sessiontime::monotonicMs(); -1 unknown
    // Audio only.
    int sampleRate = 0;
    int channels = 0;
    int samples = 0; // per channel
};
