#pragma once

#include "output/OutputBackend.h"

#include <QWidget>

// The preview: a backend that paints live frames into a window of this program.
class PreviewOutput : public OutputBackend
{
public:
    // GUI thread: paint into the widget with this native window id; 0 detaches.
    virtual void attachWindow(WId window) = 0;
};
