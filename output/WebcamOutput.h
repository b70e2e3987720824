#pragma once

#include "output/OutputBackend.h"

// The virtual webcam: a backend with a device that may come and go.
class WebcamOutput : public OutputBackend
{
public:
    // True while the webcam has a device open. Any thread; cheap.
    virtual bool deviceOpen() const = 0;
};
