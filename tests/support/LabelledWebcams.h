#pragma once

// Makes every OutputRouter built from now on have one backend, a V4l2Sink over `io` looking
// for its device every `probeMs`, and the program see the labels of io's devices, as with
// v4l2loopback devices loaded with card labels: the one webcam ("Quorvix") takes the first
// device or the one so labelled, each of several ("Quorvix 1" ...) only its own. Undo with
// clearLabelledWebcams(). GUI thread, before the program builds its outputs.

#include "output/OutputBackends.h"
#include "output/V4l2Io.h"
#include "output/V4l2Sink.h"

#include <QString>

#include <memory>

inline void installLabelledWebcams(const std::shared_ptr<V4l2Io> &io, int probeMs)
{
    OutputBackends::setFactory_for_testing([io, probeMs](const QString &name) {
        OutputBackends backends;
        auto sink = std::make_unique<V4l2Sink>(io, probeMs);
        // One of several webcams is named after its own device.
        sink->init(name, WebcamFormat(), name != QLatin1String("Quorvix"));
        backends.webcam = std::move(sink);
        return backends;
    });
    OutputBackends::setLabelSource_for_testing([io] { return io->deviceLabels(); });
}

inline void clearLabelledWebcams()
{
    OutputBackends::setFactory_for_testing({});
    OutputBackends::setLabelSource_for_testing({});
}
