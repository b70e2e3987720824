#pragma once

#include <QtGlobal>

// One queued frame, copied by value into and out of a FrameQueue. The sample data lives in a
// pool block of that queue: the queue owns the block while the record is queued, the caller
// owns it between a pop and its FrameQueue::release.
struct FrameRecord
{
    qint64 timestamp = 0;   // session timestamp in ms
    uchar *block = nullptr; // pool block holding the data
    int size = 0;           // bytes of data in the block
    double durationMs = 0.0;
    qint64 arrivalMs = -1; // when it was queued, on sessiontime::monotonicMs(); -1 unknown
    // Video only: line size of the Y plane in the block. The U and V planes follow the Y plane
    // with exactly half this line size each, so a reader may rely on stride / 2 for chroma.
    int stride = 0;
    // Audio only.
    int sampleRate = 0;
    int channels = 0;
    int samples = 0; // per channel
};
