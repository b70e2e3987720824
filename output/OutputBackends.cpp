#include "output/OutputBackends.h"

#include "output/NdiRenderer.h"
#include "output/OutputLog.h"
#include "output/PipeWireMicrophone.h"
#include "output/QtPreviewRenderer.h"
#include "output/V4l2Sink.h"
#include "output/V4l2SystemIo.h"

#include <mutex>

namespace {

// Prefix of the NDI set-up failure lines, as the output object has always written them.
constexpr char kInitNdiPrefix[] = "void __cdecl VCam::initNDI(void)";

// The installed factory, guarded by its mutex: only a seam, production never installs one.
struct FactorySlot
{
    std::mutex lock;
    OutputBackends::Factory factory;
    OutputBackends::LabelSource labels;
};

FactorySlot &factorySlot()
{
    static FactorySlot slot;
    return slot;
}

} // namespace

OutputBackends OutputBackends::createDefault(const QString &name, const WebcamFormat &format,
                                             bool ownDevice)
{
    OutputBackends backends;
    auto webcam = std::make_unique<V4l2Sink>(std::make_shared<V4l2SystemIo>());
    webcam->init(name, format, ownDevice);
    backends.webcam = std::move(webcam);
    backends.preview = std::make_unique<QtPreviewRenderer>();
    if (ownDevice) {
        // "Quorvix 2" gives the node quorvix_2_microphone, described "Quorvix 2 Microphone".
        QString node = name.toLower();
        node.replace(QLatin1Char(' '), QLatin1Char('_'));
        backends.microphone = std::make_unique<PipeWireMicrophone>(
            node + QStringLiteral("_microphone"), name + QStringLiteral(" Microphone"));
    } else {
        backends.microphone = std::make_unique<PipeWireMicrophone>();
    }
    if (std::unique_ptr<NdiRenderer> ndi = createNdiRenderer()) {
        if (ndi->setSourceName(name))
            qCInfo(lcOutput) << "PROPS SET SUCCESSFULL";
        else
            qCCritical(lcOutput) << kInitNdiPrefix << "set line-in FAILED";
        backends.ndi = std::move(ndi);
    }
    return backends;
}

void OutputBackends::setFactory_for_testing(Factory factory)
{
    FactorySlot &slot = factorySlot();
    std::lock_guard<std::mutex> guard(slot.lock);
    slot.factory = std::move(factory);
}

void OutputBackends::setLabelSource_for_testing(LabelSource source)
{
    FactorySlot &slot = factorySlot();
    std::lock_guard<std::mutex> guard(slot.lock);
    slot.labels = std::move(source);
}

QStringList OutputBackends::deviceLabels()
{
    LabelSource source;
    {
        FactorySlot &slot = factorySlot();
        std::lock_guard<std::mutex> guard(slot.lock);
        source = slot.labels;
    }
    return source ? source() : V4l2SystemIo().deviceLabels();
}

OutputBackends OutputBackends::create(const QString &name, const WebcamFormat &webcam,
                                      bool ownDevice)
{
    Factory factory;
    {
        FactorySlot &slot = factorySlot();
        std::lock_guard<std::mutex> guard(slot.lock);
        factory = slot.factory;
    }
    return factory ? factory(name) : createDefault(name, webcam, ownDevice);
}
