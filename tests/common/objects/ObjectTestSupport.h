#pragma once
// Helpers of the object tests: where the fixture DLLs lie, and a module lifetime manager that
// records the calls of the objects it owns.
#include <string>
#include <vector>
#include <windows.h>

#include "common/objects/IModuleLifetimeMgr.h"

namespace objtest {

// The folder of the test executable and the fixture DLLs beside it.
std::wstring BinDir();
std::wstring BinPath(const wchar_t* name);
bool IsModuleLoaded(const std::wstring& path);

// An owner that counts LockModule/UnlockModule and can refuse locks.
class RecordingOwner : public IModuleLifetimeMgr {
public:
    LONG refs = 1;
    int locks = 0;
    int unlocks = 0;
    HMODULE lastModule = nullptr;
    HRESULT lockResult = 0x00010000;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE CreateInstanceFromModule(HMODULE, REFGUID, REFIID, DWORD, void**) override;
    HRESULT STDMETHODCALLTYPE CreateInstanceFromModule(HMODULE, REFGUID, REFIID, void**) override;
    HRESULT STDMETHODCALLTYPE CreateInstanceFromPath(LPCWSTR, REFGUID, REFIID, DWORD, void**) override;
    HRESULT STDMETHODCALLTYPE CreateInstanceFromPathA(LPCSTR, REFGUID, REFIID, DWORD, void**) override;
    HRESULT STDMETHODCALLTYPE CreateInstanceFromPath(LPCWSTR, REFGUID, REFIID, void**) override;
    HRESULT STDMETHODCALLTYPE CreateInstanceFromPathA(LPCSTR, REFGUID, REFIID, void**) override;
    HRESULT STDMETHODCALLTYPE UnlockModule(HMODULE module) override;
    HRESULT STDMETHODCALLTYPE LockModule(HMODULE module) override;
};

} // namespace objtest
