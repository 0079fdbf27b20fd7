#include "common/base/qkException.h"

void qkException::ThrowLastError()
{
    const DWORD error = ::GetLastError();
    throw qkException(error != 0 ? HRESULT_FROM_WIN32(error) : E_FAIL);
}
