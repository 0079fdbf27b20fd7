#pragma once
// A GDI+ image made from a PNG or GIF resource of the executable, found in the user-interface
// language (each preferred language, then the module's choice). GDI+ reads an image from its
// stream for as long as the image lives, so the resource bytes are copied into a movable global
// block that lives exactly as long as the image; both are released together, the image first.
// A critical section makes Load, IsLoaded and GetImage safe against each other.
#include "common/base/qkCriticalSection.h"
#include "ui/image/VekGdiplus.h"

#include <atomic>
#include <memory>

namespace vek {

class VekResourceImage {
public:
    VekResourceImage() = default;
    ~VekResourceImage();
    VekResourceImage(const VekResourceImage&) = delete;
    VekResourceImage& operator=(const VekResourceImage&) = delete;

    // Frees any previous image, then loads; true on success.
    bool Load(UINT resourceId, const wchar_t* resourceType, HMODULE module);
    bool IsLoaded();
    // The image; throws std::runtime_error("m_Image == NULL") when none is held.
    Gdiplus::Image* GetImage();
    void Free();

    // How many images this process has decoded so far (tests).
    static unsigned long DecodedCount();

private:
    void FreeLocked();

    qkCriticalSection m_lock;
    HGLOBAL m_block = nullptr; // locked while the image lives
    std::unique_ptr<Gdiplus::Image> m_image;
    static std::atomic<unsigned long> s_decoded;
};

} // namespace vek
