#pragma once
#include <windows.h>

namespace qkLib {

// The calling thread's last error as an HRESULT, or whenNone where the failed call set none.
inline HRESULT LastErrorResult(HRESULT whenNone = E_FAIL)
{
    const DWORD error = ::GetLastError();
    return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : whenNone;
}

} // namespace qkLib
