#include "output/NdiRenderer.h"

// No NDI runtime is loaded by this build yet, so the renderer cannot exist: creating it fails
// and the output object logs its "failed to create NDI" line. The runtime-backed renderer
// slots in here; nothing else in the adapter changes.
MFPtr<IMFUnknown> createNdiRenderer()
{
    return {};
}
