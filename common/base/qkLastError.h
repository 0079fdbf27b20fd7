#pragma once
#include <windows.h>

namespace qkLib {

// A failed call's error code as an HRESULT, or whenNone where the call set none: a failure never
// reads as success.
inline HRESULT Win32ErrorResult(DWORD error, HRESULT whenNone = E_FAIL)
{
    return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : whenNone;
}

// The calling thread's last error as an HRESULT, or whenNone where the failed call set none.
inline HRESULT LastErrorResult(HRESULT whenNone = E_FAIL)
{
    return Win32ErrorResult(::GetLastError(), whenNone);
}

} // namespace qkLib
