#include "ObjectTestSupport.h"

#include <objbase.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "common/objects/qkTalResult.h"
#include "common/system/CIsolation.h"

namespace objtest {

namespace {

const wchar_t kSiloRoot[] = L"Software\\VekTest\\Silos";

struct Silo {
    std::wstring id;
    Silo()
    {
        GUID guid{};
        CoCreateGuid(&guid);
        id = GuidText(guid);
        if (!CIsolation::SetSiloID(id.c_str()) || !CIsolation::SetSiloRegistryRoot(kSiloRoot))
            throw std::runtime_error("cannot set the test silo");
        for (const std::wstring& path : {SiloPath() + L"\\Keel Core\\PathExpansionMap", SiloPath() + L"\\OBJID"}) {
            HKEY key = nullptr;
            if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                nullptr) != ERROR_SUCCESS)
                throw std::runtime_error("cannot create the test silo's keys");
            RegCloseKey(key);
        }
    }
    ~Silo() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, SiloPath().c_str()); }
    std::wstring SiloPath() const { return std::wstring(kSiloRoot) + L"\\" + id; }
};

Silo& TheSilo()
{
    static Silo silo;
    return silo;
}

void SetString(const std::wstring& keyPath, const wchar_t* name, const std::wstring& value)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        throw std::runtime_error("cannot create a test key");
    if (name)
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

} // namespace

std::wstring GuidText(const GUID& id)
{
    wchar_t text[40] = L"";
    StringFromGUID2(id, text, 40);
    return text;
}

const std::wstring& TestSilo()
{
    return TheSilo().id;
}
std::wstring SiloMapPath()
{
    return TheSilo().SiloPath() + L"\\Keel Core\\PathExpansionMap";
}
std::wstring SiloObjIdPath()
{
    return TheSilo().SiloPath() + L"\\OBJID";
}

ScopedRoot::ScopedRoot(const wchar_t* folder)
{
    TestSilo();
    if (folder) {
        m_path = BinPath(folder) + L"\\";
        SetString(SiloMapPath(), L"QKROOT", m_path);
    } else {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, SiloMapPath().c_str(), L"QKROOT");
    }
}

ScopedRoot::~ScopedRoot()
{
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, SiloMapPath().c_str(), L"QKROOT");
}

void ScopedObjIds::Add(const std::wstring& subkey, const wchar_t* path)
{
    SetString(SiloObjIdPath() + L"\\" + subkey, path ? L"InProc32" : nullptr, path ? path : L"");
    m_subkeys.push_back(subkey);
}

ScopedObjIds::~ScopedObjIds()
{
    for (const std::wstring& subkey : m_subkeys)
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, (SiloObjIdPath() + L"\\" + subkey).c_str());
}

TrustLog::TrustLog(const wchar_t* createAnswer)
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    m_file = std::wstring(folder) + L"objfix_trust_" + std::to_wstring(GetCurrentProcessId()) + L".log";
    DeleteFileW(m_file.c_str());
    SetEnvironmentVariableW(L"QK_TRUST_FIXTURE_LOG", m_file.c_str());
    SetEnvironmentVariableW(L"QK_TRUST_FIXTURE_CREATE", createAnswer);
}

TrustLog::~TrustLog()
{
    SetEnvironmentVariableW(L"QK_TRUST_FIXTURE_LOG", nullptr);
    SetEnvironmentVariableW(L"QK_TRUST_FIXTURE_CREATE", nullptr);
    DeleteFileW(m_file.c_str());
}

std::vector<std::wstring> TrustLog::Lines() const
{
    std::vector<std::wstring> lines;
    std::ifstream in(m_file.c_str(), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        std::wstring wide(line.size() + 1, L'\0');
        const int n = MultiByteToWideChar(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), wide.data(),
                                          static_cast<int>(wide.size()));
        wide.resize(n > 0 ? n : 0);
        lines.push_back(wide);
    }
    return lines;
}

int TrustLog::Count(const std::wstring& prefix) const
{
    int count = 0;
    for (const std::wstring& line : Lines())
        count += line.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    return count;
}

std::wstring BinDir()
{
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L'\\'));
}

std::wstring BinPath(const wchar_t* name)
{
    return BinDir() + L"\\" + name;
}

bool IsModuleLoaded(const std::wstring& path)
{
    return GetModuleHandleW(path.c_str()) != nullptr;
}

HRESULT RecordingOwner::QueryInterface(REFIID, void** object)
{
    *object = this;
    AddRef();
    return QK_S_OK;
}
HRESULT RecordingOwner::CreateInstanceFromModule(HMODULE, REFGUID, REFIID, DWORD, void**)
{
    return QK_E_NOTIMPL;
}
HRESULT RecordingOwner::CreateInstanceFromModule(HMODULE, REFGUID, REFIID, void**)
{
    return QK_E_NOTIMPL;
}
HRESULT RecordingOwner::CreateInstanceFromPath(LPCWSTR, REFGUID, REFIID, DWORD, void**)
{
    return QK_E_NOTIMPL;
}
HRESULT RecordingOwner::CreateInstanceFromPathA(LPCSTR, REFGUID, REFIID, DWORD, void**)
{
    return QK_E_NOTIMPL;
}
HRESULT RecordingOwner::CreateInstanceFromPath(LPCWSTR, REFGUID, REFIID, void**)
{
    return QK_E_NOTIMPL;
}
HRESULT RecordingOwner::CreateInstanceFromPathA(LPCSTR, REFGUID, REFIID, void**)
{
    return QK_E_NOTIMPL;
}
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
