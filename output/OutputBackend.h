#pragma once

#include "engine/OutputFrame.h"

// One kind of output behind OutputRouter: the virtual webcam, NDI, the preview, the microphone.
// OutputRouter fans each frame out to the backends that are on and catches whatever one of them
// throws, so one failing backend never stops the others.
//
// Threads: a picture (putLive with a picture, putCard) comes from OutputRouter's video-out thread,
// one at a time under the router's video lock; sound (putLive without a picture) comes from the
// delivery thread of the session that owns the output, one at a time under its audio lock;
// sessionChanged from the thread that changes the owner, under both. So the microphone sees one
// call at a time, while NDI may get a picture and sound at once from two threads. A backend is
// destroyed on the GUI thread after the last call has returned.
class OutputBackend
{
public:
    virtual ~OutputBackend() = default;

    // A live frame of the session that owns the output. May wait briefly for the backend's
    // own work under way (a device write), never for a scan, the GUI or the network.
    virtual void putLive(const OutputFrame &frame) = 0;
    // A no-signal card frame (no audio, no rate). Never waits: a busy backend drops it.
    virtual void putCard(const OutputFrame &frame) = 0;
    // The output changed hands (another session owns it now) or went back to the card: what
    // a backend still holds of the previous session must not be played any more.
    virtual void sessionChanged() {}
};
