#pragma once

#include "output/MFPtr.h"

// The NDI renderer (device list "NDI Renderer", property "line-out" = source name, frame
// receiver). It needs the NDI runtime, loaded at run time; without it creation fails and the
// output object goes on without NDI. Returns an empty pointer on failure. GUI thread.
MFPtr<IMFUnknown> createNdiRenderer();
