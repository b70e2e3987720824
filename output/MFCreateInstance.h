#pragma once

#include "output/MFInterfaces.h"
#include "output/MFPtr.h"

#include <functional>

// The one creation function of the output adapter, keyed like the output object has always
// created its objects: class identifier, no outer object, class context, requested
// interface. *object gets a reference to that interface, or nullptr on failure.
// Any thread; the output object calls it on the GUI thread.
int MFCreateInstance(const MFGuid &clsid, IMFUnknown *outer, quint32 clsContext, const MFGuid &iid,
                     void **object);

// The real Linux backends by class identifier; MFCreateInstance calls this unless a creator
// is installed. Installed creators may call it to delegate classes they do not replace.
int mfCreateBackend(const MFGuid &clsid, IMFUnknown *outer, quint32 clsContext, const MFGuid &iid,
                    void **object);

using MFCreator = std::function<int(const MFGuid &clsid, IMFUnknown *outer, quint32 clsContext,
                                    const MFGuid &iid, void **object)>;

// Puts `creator` behind MFCreateInstance (tests, benchmarks); an empty creator restores the
// real backends. Any thread; objects created before keep working.
void mfInstallCreator(MFCreator creator);

// Helper for callers holding an MFPtr.
template <class T>
int mfCreate(const MFGuid &clsid, MFPtr<T> &out)
{
    return MFCreateInstance(clsid, nullptr, kMfClsCtxAll, T::kIid, out.putVoid());
}
