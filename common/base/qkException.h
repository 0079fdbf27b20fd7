#pragma once
// The library's exception: carries the HRESULT of a failure inside string and buffer work.
// It is only ever thrown inside a guarded section and caught there (see qkExceptionInfo).
#include <windows.h>

class qkException {
public:
    explicit qkException(HRESULT hr) noexcept : m_hr(hr) {}

    HRESULT GetResult() const noexcept { return m_hr; }
    operator HRESULT() const noexcept { return m_hr; }

    // Throws a qkException with the given result.
    [[noreturn]] static void Throw(HRESULT hr) { throw qkException(hr); }
    // Throws the last Win32 error as an HRESULT (E_FAIL when there is none).
    [[noreturn]] static void ThrowLastError();

    HRESULT m_hr;
};
