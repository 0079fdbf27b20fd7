#include "common/system/qkEncryptedString.h"

#include "common/base/qkScopedLock.h"
#include "common/base/qkStringConvert.h"
#include "common/base/qkTrace.h"
#include "common/errors/qkLog.h"

#include <cstring>

qkEncryptedString::qkEncryptedString(const BYTE* stored, DWORD length) : m_stored(stored), m_length(length) {}

qkEncryptedString::~qkEncryptedString()
{
    m_lock.Delete();
}

void qkEncryptedString::Complement(BYTE* buffer, DWORD length)
{
    // Whole 32-bit words first, then the remaining 0 to 3 bytes.
    DWORD i = 0;
    for (; i + 4 <= length; i += 4) {
        DWORD word;
        std::memcpy(&word, buffer + i, 4);
        word = ~word;
        std::memcpy(buffer + i, &word, 4);
    }
    for (; i < length; ++i) {
        buffer[i] = static_cast<BYTE>(~buffer[i]);
    }
}

BOOL qkEncryptedString::Decipher(BYTE* buffer, DWORD length)
{
    Complement(buffer, length);
    return TRUE;
}

BOOL qkEncryptedString::Encipher(BYTE* buffer, DWORD length)
{
    Complement(buffer, length);
    return TRUE;
}

BOOL qkEncryptedString::Get()
{
    qkScopedLock lock(m_lock);
    if (!m_text.empty()) {
        return TRUE;
    }
    // The buffer holds the bytes and a terminator: a length that leaves no room for it would
    // wrap the size to nothing.
    if (m_length == MAXDWORD) {
        QK_LOG_ERROR(L"Stored text length %lu leaves no room for its terminator", m_length);
        return FALSE;
    }
    BYTE* buffer = static_cast<BYTE*>(m_buffer.NewAlloc(m_length + 1));
    if (buffer == nullptr) {
        QK_TRACE(L"no buffer for %lu bytes", m_length);
        return FALSE;
    }
    std::memset(buffer, 0, m_length + 1);
    if (m_stored != nullptr && m_length != 0) {
        std::memcpy(buffer, m_stored, m_length);
    }
    if (!Decipher(buffer, m_length)) {
        QK_TRACE(L"deciphering failed");
        return FALSE;
    }
    buffer[m_length] = 0;
    if (!qkStringConvert::AnsiToWide(reinterpret_cast<const char*>(buffer), m_text)) {
        m_text.clear();
    }
    if (m_text.empty()) {
        QK_TRACE(L"empty text");
        return FALSE;
    }
    return TRUE;
}
