#include "common/objects/LoadVerifyTrustDll.h"

#include <new>
#include <string>

#include "common/objects/ReadLibraryRoot.h"
#include "common/objects/qkTalDllLoader.h"
#include "common/objects/qkTalResult.h"

namespace Jux {

HRESULT LoadVerifyTrustDll(qkTalDllLoader* loader)
{
    if (!loader)
        return QK_E_INVALIDARG;
    try {
        std::wstring path;
        const HRESULT hr = qkLib::ReadLibraryRoot(path);
        if (hr < 0)
            return hr;
        path += L"qkVrTrst.dll";
        return loader->Load(path.c_str());
    } catch (const std::bad_alloc&) {
        return QK_E_OUTOFMEMORY;
    }
}

} // namespace Jux
