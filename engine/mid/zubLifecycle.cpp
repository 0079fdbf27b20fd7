#include "engine/mid/zubLifecycle.h"

#include "engine/mid/QuvAdapterSource.h"
#include "engine/mid/QuvMaster.h"
#include "engine/mid/QuvMidCodes.h"

#include <cstdlib>
#include <cwchar>

namespace zubLifecycle {

HRESULT RunMID(std::wstring& identifier)
{
    identifier.clear();
    QuvAdapterSource source;
    bool hasIdentifier = false;
    const HRESULT hr = QuvMaster::GetMachineId(source, identifier, hasIdentifier);
    if (hr != E_ACCESSDENIED && hr != QUV_E_REG_ACCESS_DENIED) {
        if (!hasIdentifier)
            identifier.clear();
        return hr;
    }
    // The stamp file is out of reach for this user: the registry copy answers.
    std::wstring copy;
    if (SUCCEEDED(QuvMaster::ReadRegistryMid(copy)) && !copy.empty()) {
        identifier = copy;
        return S_OK;
    }
    return hr;
}

HRESULT RunMID(wchar_t** identifier)
{
    if (!identifier)
        return E_POINTER;
    *identifier = nullptr;
    std::wstring text;
    const HRESULT hr = RunMID(text);
    if (hr != S_OK || text.empty())
        return hr;
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    auto* buffer = static_cast<wchar_t*>(malloc(bytes));
    if (!buffer)
        return E_OUTOFMEMORY;
    memcpy(buffer, text.c_str(), bytes);
    *identifier = buffer;
    return S_OK;
}

} // namespace zubLifecycle
