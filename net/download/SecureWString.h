#pragma once
// A decrypted secret in a LocalAlloc buffer that is overwritten with zeros before it is freed.
#include <windows.h>

#include <string>

namespace vek {

class SecureWString {
public:
    SecureWString() = default;
    ~SecureWString();
    SecureWString(const SecureWString&) = delete;
    SecureWString& operator=(const SecureWString&) = delete;

    // Takes a NUL-terminated buffer allocated with LocalAlloc (any earlier one is wiped first).
    void Attach(wchar_t* buffer);
    const wchar_t* Get() const { return m_buffer; }
    bool Empty() const { return m_buffer == nullptr; }

    // Overwrites the characters with zeros, frees the buffer and clears the pointer.
    void Wipe();

    // A companion string kept beside the buffer (cleared with it at destruction).
    std::wstring& Companion() { return m_companion; }

private:
    wchar_t* m_buffer = nullptr;
    std::wstring m_companion;
};

} // namespace vek
