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

// Sets this process's silo once: a fresh id below "Software\VekTest\Silos" (HKLM) with an
// empty path-expansion map and object-id key; the silo's registry tree goes when the process ends.
const std::wstring& TestSilo();
// HKLM paths of the test silo's keys.
std::wstring SiloMapPath();
std::wstring SiloObjIdPath();

// Points the token QKROOT of the test silo at a folder beside the test executable (null: leaves
// it undefined, so the library root cannot be read) and removes it again.
class ScopedRoot {
public:
    explicit ScopedRoot(const wchar_t* folder);
    ~ScopedRoot();
    const std::wstring& Path() const { return m_path; } // with a backslash at its end

private:
    std::wstring m_path;
};

// Object-id entries below the test silo's "OBJID" key, removed by the destructor. A null path
// makes a subkey without "InProc32".
class ScopedObjIds {
public:
    ScopedObjIds() = default;
    ~ScopedObjIds();
    void Add(const std::wstring& subkey, const wchar_t* path);

private:
    std::vector<std::wstring> m_subkeys;
};

// Has the trust stand-in record its calls into a file of its own, and optionally answer Create
// with another value; both undone by the destructor.
class TrustLog {
public:
    explicit TrustLog(const wchar_t* createAnswer = nullptr);
    ~TrustLog();
    std::vector<std::wstring> Lines() const;
    // Lines that begin with the text.
    int Count(const std::wstring& prefix) const;

private:
    std::wstring m_file;
};

std::wstring GuidText(const GUID& id);

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
