#include "settings/store/CByteBuffer.h"

#include <new>

#include "common/base/qkTrace.h"

namespace qkSettings {

CByteBuffer::CByteBuffer(CByteBuffer&& other) noexcept : m_data(std::move(other.m_data)), m_size(other.m_size)
{
    other.m_size = 0;
}

CByteBuffer& CByteBuffer::operator=(CByteBuffer&& other) noexcept
{
    if (this != &other) {
        m_data = std::move(other.m_data);
        m_size = other.m_size;
        other.m_size = 0;
    }
    return *this;
}

bool CByteBuffer::Allocate(DWORD size)
{
    Free();
    m_data.reset(new (std::nothrow) BYTE[size ? size : 1]);
    if (!m_data) {
        QK_TRACE(L"no memory for %lu bytes", size);
        return false;
    }
    m_size = size;
    return true;
}

void CByteBuffer::Free()
{
    m_data.reset();
    m_size = 0;
}

} // namespace qkSettings
