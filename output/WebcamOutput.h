#pragma once

#include "output/OutputBackend.h"
#include "output/PictureOrientation.h"
#include "output/WebcamFormat.h"

struct AVFrame;

// The virtual webcam: a backend with a device that may come and go, a format the programs
// reading it see, and an orientation its live pictures are turned by.
class WebcamOutput : public OutputBackend
{
public:
    enum class FormatChange
    {
        Unchanged, // already this format
        Applied,   // the webcam offers it now (or will, once a device is found)
        Held       // a program has the device open: the format stays as it is
    };

    // True while the webcam has a device open. Any thread; cheap.
    virtual bool deviceOpen() const = 0;
    // The format from now on, unless a program has the device open. GUI thread.
    virtual FormatChange setFormat(const WebcamFormat &format)
    {
        Q_UNUSED(format);
        return FormatChange::Unchanged;
    }
    // How live pictures are turned from the next one on (the publisher's and the user's
    // together). Any thread.
    virtual void setOrientation(const PictureOrientation &orientation) { Q_UNUSED(orientation); }
    // Live pictures are converted even without a device, for lastPicture() (the preview and
    // NDI show what the webcam shows). Any thread.
    virtual void setPictureWanted(bool wanted) { Q_UNUSED(wanted); }
    // The last live picture as the webcam got it (its size, format and orientation), or null
    // when the last put converted none. Valid until the next put; the thread that puts.
    virtual const AVFrame *lastPicture() const { return nullptr; }
};
