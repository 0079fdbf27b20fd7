#include "ui/image/VekResourceImage.h"

#include "common/base/qkScopedLock.h"
#include "common/errors/qkLog.h"
#include "ui/resources/CVekResourceLoader.h"

#include <cstring>
#include <stdexcept>

namespace vek {

std::atomic<unsigned long> VekResourceImage::s_decoded{0};

VekResourceImage::~VekResourceImage()
{
    Free();
}

bool VekResourceImage::Load(UINT resourceId, const wchar_t* resourceType, HMODULE module)
{
    qkScopedLock lock(m_lock);
    FreeLocked();

    HRSRC resource = CVekResourceLoader::Instance().FindResource(MAKEINTRESOURCEW(resourceId), resourceType, module);
    if (resource == nullptr)
        return false;
    const DWORD size = ::SizeofResource(module, resource);
    HGLOBAL loaded = size ? ::LoadResource(module, resource) : nullptr;
    const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
    if (bytes == nullptr)
        return false;

    m_block = ::GlobalAlloc(GMEM_MOVEABLE, size);
    void* copy = m_block ? ::GlobalLock(m_block) : nullptr;
    if (copy == nullptr) {
        QK_LOG_ERROR(L"GlobalAlloc of %lu bytes failed for resource %u, error %lu", size, resourceId, ::GetLastError());
        FreeLocked();
        return false;
    }
    std::memcpy(copy, bytes, size);

    IStream* stream = nullptr;
    if (FAILED(::CreateStreamOnHGlobal(m_block, FALSE, &stream))) {
        FreeLocked();
        return false;
    }
    m_image.reset(Gdiplus::Image::FromStream(stream, FALSE));
    stream->Release();
    if (!m_image || m_image->GetLastStatus() != Gdiplus::Ok) {
        FreeLocked();
        return false;
    }
    ++s_decoded;
    return true;
}

unsigned long VekResourceImage::DecodedCount()
{
    return s_decoded.load();
}

bool VekResourceImage::IsLoaded()
{
    qkScopedLock lock(m_lock);
    return m_image != nullptr;
}

Gdiplus::Image* VekResourceImage::GetImage()
{
    qkScopedLock lock(m_lock);
    if (!m_image)
        throw std::runtime_error("m_Image == NULL");
    return m_image.get();
}

void VekResourceImage::Free()
{
    qkScopedLock lock(m_lock);
    FreeLocked();
}

void VekResourceImage::FreeLocked()
{
    m_image.reset();
    if (m_block != nullptr) {
        ::GlobalUnlock(m_block);
        ::GlobalFree(m_block);
        m_block = nullptr;
    }
}

} // namespace vek
