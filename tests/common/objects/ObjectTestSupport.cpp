#include "ObjectTestSupport.h"

#include "common/objects/qkTalResult.h"

namespace objtest {

std::wstring BinDir()
{
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L'\\'));
}

std::wstring BinPath(const wchar_t* name) { return BinDir() + L"\\" + name; }

bool IsModuleLoaded(const std::wstring& path) { return GetModuleHandleW(path.c_str()) != nullptr; }

HRESULT RecordingOwner::QueryInterface(REFIID, void** object)
{
    *object = this;
    AddRef();
    return QK_S_OK;
}
HRESULT RecordingOwner::CreateInstanceFromModule(HMODULE, REFGUID, REFIID, DWORD, void**) { return QK_E_NOTIMPL; }
HRESULT RecordingOwner::CreateInstanceFromModule(HMODULE, REFGUID, REFIID, void**) { return QK_E_NOTIMPL; }
HRESULT RecordingOwner::CreateInstanceFromPath(LPCWSTR, REFGUID, REFIID, DWORD, void**) { return QK_E_NOTIMPL; }
HRESULT RecordingOwner::CreateInstanceFromPathA(LPCSTR, REFGUID, REFIID, DWORD, void**) { return QK_E_NOTIMPL; }
HRESULT RecordingOwner::CreateInstanceFromPath(LPCWSTR, REFGUID, REFIID, void**) { return QK_E_NOTIMPL; }
HRESULT RecordingOwner::CreateInstanceFromPathA(LPCSTR, REFGUID, REFIID, void**) { return QK_E_NOTIMPL; }
HRESULT RecordingOwner::UnlockModule(HMODULE module)
{
    ++unlocks;
    lastModule = module;
    return QK_S_OK;
}
HRESULT RecordingOwner::LockModule(HMODULE module)
{
    lastModule = module;
    if (QkFailed(lockResult))
        return lockResult;
    ++locks;
    return QK_S_OK;
}

} // namespace objtest
