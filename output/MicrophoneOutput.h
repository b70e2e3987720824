#pragma once

#include "output/OutputBackend.h"

#include <QString>

// The microphone: a backend that takes the live frames' audio and offers it to call programs
// as an input device, present (playing silence) also while no camera streams.
class MicrophoneOutput : public OutputBackend
{
public:
    // GUI thread. Off removes the input device; on offers it again.
    virtual void setEnabled(bool enabled) = 0;
    // Any thread: the input device is there.
    virtual bool available() const = 0;
    // Any thread: why it is not (one line for the status bar); empty while available.
    virtual QString unavailableReason() const = 0;
    // Any thread, lock-free: how long audio handed to putLive takes until a recorder gets it
    // (the hand-over's reserve plus the server's quantum); 0 while the device is not there.
    virtual int outputDelayMs() const { return 0; }

    // Gaps a listener heard, by cause, since the program started: times the hand-over ran dry
    // (the sound came too late or stopped) and sound cut because more came than could be played.
    struct SoundGaps
    {
        qint64 ranDry = 0;
        qint64 cutMs = 0;
    };
    // Any thread.
    virtual SoundGaps soundGaps() const { return {}; }
};
