#pragma once

#include "output/MicrophoneOutput.h"
#include "output/OutputBackend.h"
#include "output/PreviewOutput.h"
#include "output/WebcamOutput.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// The backends one OutputRouter fans its frames out to; an absent one is null.
struct OutputBackends
{
    std::unique_ptr<WebcamOutput> webcam;
    std::unique_ptr<OutputBackend> ndi;
    std::unique_ptr<PreviewOutput> preview;
    std::unique_ptr<MicrophoneOutput> microphone;

    // The real ones: the v4l2loopback webcam, NDI when its runtime is installed, the Qt
    // preview and the PipeWire microphone. `name` is the webcam's preferred card label and the NDI
    // source name; `webcam` the webcam's format at start. GUI thread.
    // ownDevice: the webcam takes only the device labelled `name`, and the microphone is
    // named after it ("<name> Microphone"), one of several webcams.
    static OutputBackends createDefault(const QString &name,
                                        const WebcamFormat &webcam = WebcamFormat(),
                                        bool ownDevice = false);

    // Makes every OutputRouter built from now on take its backends from `factory` (tests,
    // benchmarks); an empty factory restores the real ones. Any thread.
    using Factory = std::function<OutputBackends(const QString &name)>;
    static void setFactory_for_testing(Factory factory);
    // The card labels of the video devices present now (V4l2Io::deviceLabels of the real
    // devices, unless a test installed another source). Any thread.
    static QStringList deviceLabels();
    using LabelSource = std::function<QStringList()>;
    static void setLabelSource_for_testing(LabelSource source);

    // The installed factory's backends, or the real ones.
    static OutputBackends create(const QString &name, const WebcamFormat &webcam = WebcamFormat(),
                                 bool ownDevice = false);
};
