#pragma once
// One decoded image per image resource for the whole process: the controls that show the same
// picture (the faces of every footer button, the same icon twice) draw one image instead of each
// decoding the PNG again. Images are held weakly: one lives while a control holds it, so none
// outlives the controls and the GDI+ session they were made in, and a resource that does not load
// is not kept. A GDI+ image is not for use by two threads at once: a shared image is drawn on the
// user-interface thread. An animated image keeps its own frame position and is not shared.
#include "ui/image/VekResourceImage.h"

#include <memory>

namespace vek {

class VekSharedResourceImage {
public:
    // The image of the resource as the user-interface language finds it; null when it does not load.
    static std::shared_ptr<VekResourceImage> Get(UINT resourceId, const wchar_t* resourceType, HMODULE module);
};

} // namespace vek
