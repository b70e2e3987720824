#pragma once

#include "engine/OutputFrame.h"

#include <QtGlobal>

// What the engine needs of the program's output (the virtual webcam and the outputs beside
// it). The engine sees only this interface; OutputSwitch decides which session may use it.
//
// Threads: sendFrame from the delivery thread of the session that owns the output, the other
// two from whichever thread changes the owner; OutputSwitch serialises all three.
class OutputSink
{
public:
    virtual ~OutputSink() = default;

    // One live frame. A frame without a picture carries audio only: the picture on show
    // stays. The frame's rate is the output's (setFrameRate), not the caller's.
    virtual void sendFrame(const OutputFrame &frame) = 0;
    // Frame rate of the live frames from now on, as an exact fraction.
    virtual void setFrameRate(int num, int den) = 0;
    // A session took the output (`live` true: whatever the output holds of another session is
    // stale), or the last one left (`live` false: the no-signal card returns).
    virtual void setStreamLive(bool live) = 0;
    // Any thread, lock-free: how long the audio output holds audio before it is heard (0
    // without one); the delivery holds pictures as long.
    virtual int audioOutputDelayMs() const { return 0; }
};
