#include "output/MFCreateInstance.h"

#include "output/FrameFactory.h"
#include "output/NdiRenderer.h"
#include "output/QtPreviewRenderer.h"
#include "output/V4l2Sink.h"
#include "output/V4l2SystemIo.h"

#include <mutex>

namespace {

// The installed creator; guarded by its mutex. The only process-wide state of the adapter,
// and only a seam: production never installs one.
struct CreatorSlot
{
    std::mutex lock;
    MFCreator creator;
};

CreatorSlot &creatorSlot()
{
    static CreatorSlot slot;
    return slot;
}

MFPtr<IMFUnknown> makeBackend(const MFGuid &clsid)
{
    if (clsid == kCLSID_MFFactory)
        return MFPtr<IMFUnknown>(mfMake<FrameFactory>().get());
    if (clsid == kCLSID_MFSink)
        return MFPtr<IMFUnknown>(
            static_cast<IMFSink *>(mfMake<V4l2Sink>(std::make_shared<V4l2SystemIo>()).get()));
    if (clsid == kCLSID_MFPreview)
        return MFPtr<IMFUnknown>(static_cast<IMFPreview *>(mfMake<QtPreviewRenderer>().get()));
    if (clsid == kCLSID_MFNdiRenderer)
        return createNdiRenderer();
    return {};
}

} // namespace

int mfCreateBackend(const MFGuid &clsid, IMFUnknown *outer, quint32 clsContext, const MFGuid &iid,
                    void **object)
{
    Q_UNUSED(clsContext);
    if (!object)
        return kMfPointer;
    *object = nullptr;
    if (outer)
        return kMfNoAggregation;
    const MFPtr<IMFUnknown> created = makeBackend(clsid);
    if (!created)
        return kMfClassNotRegistered;
    return created->queryInterface(iid, object);
}

int MFCreateInstance(const MFGuid &clsid, IMFUnknown *outer, quint32 clsContext, const MFGuid &iid,
                     void **object)
{
    MFCreator creator;
    {
        CreatorSlot &slot = creatorSlot();
        std::lock_guard<std::mutex> guard(slot.lock);
        creator = slot.creator;
    }
    if (creator)
        return creator(clsid, outer, clsContext, iid, object);
    return mfCreateBackend(clsid, outer, clsContext, iid, object);
}

void mfInstallCreator(MFCreator creator)
{
    CreatorSlot &slot = creatorSlot();
    std::lock_guard<std::mutex> guard(slot.lock);
    slot.creator = std::move(creator);
}
