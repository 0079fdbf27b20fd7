#include "net/download/SecureWString.h"

namespace vek {

SecureWString::~SecureWString()
{
    Wipe();
    if (!m_companion.empty()) {
        ::SecureZeroMemory(m_companion.data(), m_companion.size() * sizeof(wchar_t));
        m_companion.clear();
    }
}

void SecureWString::Attach(wchar_t* buffer)
{
    Wipe();
    m_buffer = buffer;
}

void SecureWString::Wipe()
{
    if (m_buffer == nullptr)
        return;
    // LocalSize gives the whole block, terminating NUL and any padding included.
    SIZE_T bytes = ::LocalSize(m_buffer);
    if (bytes == 0)
        bytes = (wcslen(m_buffer) + 1) * sizeof(wchar_t);
    ::SecureZeroMemory(m_buffer, bytes);
    ::LocalFree(m_buffer);
    m_buffer = nullptr;
}

} // namespace vek
