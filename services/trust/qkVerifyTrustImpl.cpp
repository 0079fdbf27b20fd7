#include "services/trust/qkVerifyTrustImpl.h"

#include <tlhelp32.h>

#include <chrono>
#include <new>
#include <optional>
#include <stdexcept>
#include <vector>

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkScopedLock.h"
#include "common/system/qkHandle.h"
#include "common/system/qkResourceHolders.h"
#include "services/trust/FileCache.h"
#include "services/trust/FileHandle.h"
#include "services/trust/TrustTrace.h"
#include "services/trust/VerifyFile.h"
#include "services/trust/qkVerifyTrustPolicy.h"
#include "common/base/qkTextCompare.h"

using qkVerifyTrust::FileCache;
using qkVerifyTrust::HashProvider;

namespace {

// Remembered "trusted at level 3" answers for the own and the parent process. They only ever go
// from 0 to 1 (tests reset them).
std::atomic<BYTE> g_currentProcessTrusted{0};
std::atomic<BYTE> g_parentProcessTrusted{0};

// "\Device\HarddiskVolume2\dir\file" -> "C:\dir\file" through the drive letters' device targets;
// "\Device\Mup\server\share\..." and "\Device\LanmanRedirector\..." -> "\\server\share\...".
std::wstring MapDevicePath(const std::wstring& path)
{
    const size_t end = path.find(L'\\', 8); // after "\Device\"
    const std::wstring device = path.substr(0, end);
    const std::wstring rest = end == std::wstring::npos ? std::wstring() : path.substr(end);
    if (_wcsicmp(device.c_str(), L"\\Device\\Mup") == 0 || _wcsicmp(device.c_str(), L"\\Device\\LanmanRedirector") == 0)
        return L"\\" + rest;
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        const wchar_t drive[3] = {letter, L':', 0};
        wchar_t target[1000] = {};
        if (QueryDosDeviceW(drive, target, 1000) == 0)
            continue;
        if (_wcsicmp(target, device.c_str()) == 0)
            return std::wstring(drive) + rest;
    }
    TRUST_TRACE(L"No drive for device path %ls", path.c_str());
    return path;
}

std::wstring FromAnsi(const char* text)
{
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (n <= 0)
        throw std::runtime_error("ANSI conversion failed");
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), n);
    wide.resize(static_cast<size_t>(n - 1));
    return wide;
}

bool ProcessImagePath(DWORD processId, std::wstring* path)
{
    const qkHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process.IsValid())
        return false;
    wchar_t buffer[MAX_PATH * 4];
    DWORD size = MAX_PATH * 4;
    if (!QueryFullProcessImageNameW(process.Get(), 0, buffer, &size))
        return false;
    path->assign(buffer, size);
    return true;
}

bool ParentProcessId(DWORD processId, DWORD* parent)
{
    const qkHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.IsValid())
        return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
        if (entry.th32ProcessID == processId) {
            *parent = entry.th32ParentProcessID;
            return true;
        }
    }
    return false;
}

} // namespace

qkVerifyTrustImpl* qkVerifyTrustImpl::New()
{
    auto* object = new (std::nothrow) qkVerifyTrustImpl();
    if (object && object->m_policy == nullptr) {
        object->Release();
        return nullptr;
    }
    return object;
}

qkVerifyTrustImpl::qkVerifyTrustImpl() : m_policy(qkVerifyTrustPolicy::Create()) {}

qkVerifyTrustImpl::~qkVerifyTrustImpl()
{
    if (m_policy)
        m_policy->Release();
}

void qkVerifyTrustImpl::ResetProcessFlags()
{
    g_currentProcessTrusted = 0;
    g_parentProcessTrusted = 0;
}

HRESULT STDMETHODCALLTYPE qkVerifyTrustImpl::QueryInterface(REFIID iid, void** out)
{
    if (out == nullptr)
        return VT_RC_INVALID_ARGUMENT;
    *out = nullptr;
    if (iid == GUID_NULL || iid == IID_IVerifyTrust || iid == IID_IVerifyTrust_Alt1 || iid == IID_IVerifyTrust_Alt2 ||
        iid == IID_IVerifyTrust_Alt3) {
        *out = static_cast<IVerifyTrust*>(this);
    } else if (iid == IID_IVerifyTrustCache) {
        *out = static_cast<IVerifyTrustCache*>(this);
    } else if (iid == IID_IVerifyTrustOptions) {
        *out = static_cast<IVerifyTrustOptions*>(this);
    } else if (iid == IID_IVerifyTrustPolicy) {
        // The contained policy object answers for itself.
        return m_policy ? m_policy->QueryInterface(iid, out) : VT_RC_NO_INTERFACE;
    } else {
        return VT_RC_NO_INTERFACE;
    }
    AddRef();
    return VT_RC_OK;
}

ULONG STDMETHODCALLTYPE qkVerifyTrustImpl::AddRef()
{
    return ++m_refs;
}

ULONG STDMETHODCALLTYPE qkVerifyTrustImpl::Release()
{
    const ULONG left = --m_refs;
    if (left == 0)
        delete this;
    return left;
}

DWORD STDMETHODCALLTYPE qkVerifyTrustImpl::Create(BOOL applyPolicy)
{
    Destroy();
    if (applyPolicy)
        m_enabled = m_policy ? m_policy->GetPolicy() : 1;
    LoadHashProvider();
    return VT_TRUSTED;
}

DWORD STDMETHODCALLTYPE qkVerifyTrustImpl::Destroy()
{
    qkScopedLock guard(m_providerLock);
    m_provider.reset();
    return VT_TRUSTED;
}

void qkVerifyTrustImpl::LoadHashProvider()
{
    if (!((m_useHashProvider && m_enabled) || m_providerLoaded != 0))
        return;
    qkScopedLock guard(m_providerLock);
    if (m_provider)
        return;
    m_provider = HashProvider::Load([this](const wchar_t* dll) { return VerifyProviderDll(dll); });
    if (m_provider)
        ++m_providerLoaded;
}

bool qkVerifyTrustImpl::VerifyProviderDll(const wchar_t* path) const
{
    // The system's verification at the loaders' level, without the provider and the cache: the
    // provider cannot vouch for itself.
    qkVerifyTrust::VerifyFile::Request request;
    request.path = path;
    request.level = kProviderDllLevel;
    request.mode = m_checkRevocation ? 2 : 1;
    const DWORD result = qkVerifyTrust::VerifyFile::Verify(request);
    if (result != VT_TRUSTED)
        TRUST_TRACE(L"Hash provider %ls not trusted, answer %lu", path, result);
    return result == VT_TRUSTED;
}

std::shared_ptr<HashProvider> qkVerifyTrustImpl::Provider()
{
    qkScopedLock guard(m_providerLock);
    return m_provider;
}

std::wstring qkVerifyTrustImpl::NormalisePath(const wchar_t* input) const
{
    std::wstring path(input);
    if (path.compare(0, 4, L"\\??\\") == 0)
        path.erase(0, 4);
    if (qkLib::StartsWithAsciiNoCase(path, L"\\Device\\"))
        path = MapDevicePath(path);
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size != 0) {
        std::wstring full(size, L'\0');
        const DWORD n = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
        if (n != 0 && n < size) {
            full.resize(n);
            path = full;
        }
    }
    if (m_useCache && !m_useHashProvider) {
        size = GetLongPathNameW(path.c_str(), nullptr, 0);
        if (size != 0) {
            std::wstring longPath(size, L'\0');
            const DWORD n = GetLongPathNameW(path.c_str(), longPath.data(), size);
            if (n != 0 && n < size) {
                longPath.resize(n);
                path = longPath;
            }
        }
    }
    return path;
}

DWORD qkVerifyTrustImpl::Check(const wchar_t* rawPath, DWORD level, BYTE keepRedirection, BYTE* systemComponent,
                               DWORD driverPolicy)
{
    if (!m_enabled)
        return VT_TRUSTED;
    if (rawPath == nullptr || *rawPath == L'\0' || level == 0)
        return VT_INVALID_ARGUMENT;
    qkExceptionInfo info;
    try {
        const DWORD mode = m_checkRevocation ? 2 : 1;
        if (systemComponent)
            *systemComponent = 0;
        const std::wstring path = NormalisePath(rawPath);
        LoadHashProvider();

        // The hash provider's verdict, when it has one.
        bool providerVerdict = false;
        std::shared_ptr<HashProvider> provider = m_useHashProvider && level != 5 ? Provider() : nullptr;
        if (provider) {
            qkVerifyTrust::FileHandle file;
            if (!file.Open(path.c_str(), keepRedirection))
                return VT_FILE_MISSING;
            const auto start = std::chrono::steady_clock::now();
            const std::optional<DWORD> bits = provider->query(file.Get());
            const auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
            if (ms > 500)
                TRUST_TRACE(L"Hash provider took %lld ms for %ls", static_cast<long long>(ms), path.c_str());
            if (bits && !(*bits & HashProvider::kNoVerdict)) {
                providerVerdict = true;
                bool trusted;
                switch (level) {
                case 4:
                    trusted = (*bits & 0x10) && (!driverPolicy || (*bits & 0x40));
                    break;
                case 3:
                    trusted = (*bits & 0x08) != 0;
                    break;
                case 2:
                    trusted = (*bits & 0x06) != 0;
                    break;
                default:
                    trusted = (*bits & 0x01) != 0;
                    break;
                }
                if (systemComponent)
                    *systemComponent = trusted && (*bits & 0x20) ? 1 : 0;
                if (!driverPolicy || trusted)
                    return trusted ? VT_TRUSTED : VT_NOT_TRUSTED;
            }
        }

        if (m_useCache) {
            bool conflict = false;
            BYTE extra = 0;
            const DWORD cached =
                FileCache::Instance().Lookup(path.c_str(), level, keepRedirection, driverPolicy, &extra, &conflict);
            if (cached == VT_TRUSTED) {
                TRUST_TRACE(L"Cache: %ls trusted at level %lu", path.c_str(), level);
                if (systemComponent)
                    *systemComponent = extra;
                return VT_TRUSTED;
            }
            if (cached == VT_NOT_TRUSTED && conflict)
                return VT_NOT_TRUSTED;
        }

        BYTE component = 0;
        qkVerifyTrust::VerifyFile::Request request;
        request.path = path.c_str();
        request.level = level;
        request.mode = mode;
        request.keepRedirection = keepRedirection;
        request.systemComponent = &component;
        request.driverPolicy = driverPolicy;
        request.providerAsked = providerVerdict;
        const auto start = std::chrono::steady_clock::now();
        const DWORD result = qkVerifyTrust::VerifyFile::Verify(request);
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        if (ms > 500)
            TRUST_TRACE(L"Verification of %ls took %lld ms", path.c_str(), static_cast<long long>(ms));
        if (systemComponent)
            *systemComponent = component;
        if (result == VT_TRUSTED && m_useCache && !providerVerdict)
            FileCache::Instance().Add(path.c_str(), component ? 4 : level, keepRedirection, component, driverPolicy);
        return result;
    }
    QK_CATCH(info)
    TRUST_TRACE(L"Exception while checking %ls: %ls", rawPath, info.GetFullText());
    return VT_INTERNAL_FAILURE;
}

DWORD qkVerifyTrustImpl::CheckNarrow(const char* path, DWORD level, BYTE keepRedirection, BYTE* systemComponent,
                                     DWORD driverPolicy)
{
    try {
        if (path == nullptr)
            return Check(nullptr, level, keepRedirection, systemComponent, driverPolicy);
        const std::wstring wide = FromAnsi(path);
        return Check(wide.c_str(), level, keepRedirection, systemComponent, driverPolicy);
    } catch (...) {
        return VT_INTERNAL_FAILURE;
    }
}

DWORD STDMETHODCALLTYPE qkVerifyTrustImpl::VerifyFile(const wchar_t* path, DWORD level)
{
    return Check(path, level, 1, nullptr, 0);
}
DWORD STDMETHODCALLTYPE qkVerifyTrustImpl::VerifyFileA(const char* path, DWORD level)
{
    return CheckNarrow(path, level, 1, nullptr, 0);
}
DWORD STDMETHODCALLTYPE qkVerifyTrustImpl::VerifyFileEx(const wchar_t* path, DWORD level, BYTE keepRedirection,
                                                        BYTE* systemComponent)
{
    return Check(path, level, keepRedirection, systemComponent, 0);
}
DWORD STDMETHODCALLTYPE qkVerifyTrustImpl::VerifyFileExA(const char* path, DWORD level, BYTE keepRedirection,
                                                         BYTE* systemComponent)
{
    return CheckNarrow(path, level, keepRedirection, systemComponent, 0);
}
DWORD STDMETHODCALLTYPE qkVerifyTrustImpl::VerifyFileRedirection(const wchar_t* path, DWORD level, BYTE keepRedirection)
{
    return Check(path, level, keepRedirection, nullptr, 0);
}
DWORD STDMETHODCALLTYPE qkVerifyTrustImpl::VerifyFileRedirectionA(const char* path, DWORD level, BYTE keepRedirection)
{
    return CheckNarrow(path, level, keepRedirection, nullptr, 0);
}
DWORD STDMETHODCALLTYPE qkVerifyTrustImpl::VerifyFileAtLevel4(const wchar_t* path, BYTE keepRedirection)
{
    return Check(path, 4, keepRedirection, nullptr, 1);
}
DWORD STDMETHODCALLTYPE qkVerifyTrustImpl::VerifyFileAtLevel4A(const char* path, BYTE keepRedirection)
{
    return CheckNarrow(path, 4, keepRedirection, nullptr, 1);
}

DWORD STDMETHODCALLTYPE qkVerifyTrustImpl::VerifyProcess(DWORD processId, DWORD level)
{
    try {
        std::wstring image;
        if (!ProcessImagePath(processId, &image))
            return VT_FILE_MISSING;
        return Check(image.c_str(), level, 0, nullptr, 0);
    } catch (...) {
        return VT_INTERNAL_FAILURE;
    }
}

DWORD STDMETHODCALLTYPE qkVerifyTrustImpl::VerifyCurrentProcess(DWORD level)
{
    if (level == 3 && g_currentProcessTrusted)
        return VT_TRUSTED;
    const DWORD result = VerifyProcess(GetCurrentProcessId(), level);
    if (level == 3 && result == VT_TRUSTED)
        g_currentProcessTrusted = 1;
    return result;
}

DWORD STDMETHODCALLTYPE qkVerifyTrustImpl::VerifyParentProcess(DWORD level)
{
    if (level == 3 && g_parentProcessTrusted)
        return VT_TRUSTED;
    DWORD parent = 0;
    if (!ParentProcessId(GetCurrentProcessId(), &parent))
        return VT_FILE_MISSING;
    const DWORD result = VerifyProcess(parent, level);
    if (level == 3 && result == VT_TRUSTED)
        g_parentProcessTrusted = 1;
    return result;
}

DWORD STDMETHODCALLTYPE qkVerifyTrustImpl::VerifyModuleByAddress(const void* address, DWORD level)
{
    MEMORY_BASIC_INFORMATION info = {};
    if (VirtualQuery(address, &info, sizeof(info)) == 0 || info.AllocationBase == nullptr)
        return VT_FILE_MISSING;
    wchar_t path[261] = {};
    const DWORD n = GetModuleFileNameW(static_cast<HMODULE>(info.AllocationBase), path, 261);
    if (n == 0 || n >= 261)
        return VT_FILE_MISSING;
    return VerifyFile(path, level);
}

DWORD STDMETHODCALLTYPE qkVerifyTrustImpl::VerifyModuleByAddressRef(const void* const* address, DWORD level)
{
    if (address == nullptr)
        return VT_INVALID_ARGUMENT;
    return VerifyModuleByAddress(*address, level);
}

DWORD STDMETHODCALLTYPE qkVerifyTrustImpl::VerifyModuleByAddress2(const void* address, DWORD level)
{
    return VerifyModuleByAddress(address, level);
}

DWORD STDMETHODCALLTYPE qkVerifyTrustImpl::VerifyComServer(REFCLSID classId, DWORD level)
{
    wchar_t text[64] = {};
    if (StringFromGUID2(classId, text, 64) == 0)
        return VT_FILE_MISSING;
    for (const wchar_t* server : {L"InprocServer32", L"LocalServer32"}) {
        const std::wstring key = std::wstring(L"CLSID\\") + text + L"\\" + server;
        wchar_t file[261] = {};
        DWORD size = sizeof(file) - sizeof(wchar_t);
        DWORD type = 0;
        qkRegKey handle;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, handle.Receive()) != ERROR_SUCCESS)
            continue;
        const LONG rc = RegQueryValueExW(handle.Get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(file), &size);
        if (rc == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ) && file[0] != L'\0')
            return VerifyFile(file, level);
    }
    return VT_FILE_MISSING;
}

void STDMETHODCALLTYPE qkVerifyTrustImpl::SetEnabled(BYTE enabled)
{
    m_enabled = enabled;
}
BYTE STDMETHODCALLTYPE qkVerifyTrustImpl::GetEnabled()
{
    return m_enabled;
}
void STDMETHODCALLTYPE qkVerifyTrustImpl::SetCheckRevocation(BYTE check)
{
    m_checkRevocation = check;
}
BYTE STDMETHODCALLTYPE qkVerifyTrustImpl::GetCheckRevocation()
{
    return m_checkRevocation;
}

void STDMETHODCALLTYPE qkVerifyTrustImpl::SetUseCache(BYTE use)
{
    m_useCache = use;
}
BYTE STDMETHODCALLTYPE qkVerifyTrustImpl::GetUseCache()
{
    return m_useCache;
}
void STDMETHODCALLTYPE qkVerifyTrustImpl::SetCapacity(DWORD count)
{
    FileCache::Instance().SetCapacity(count);
}
DWORD STDMETHODCALLTYPE qkVerifyTrustImpl::GetCapacity()
{
    return FileCache::Instance().GetCapacity();
}
void STDMETHODCALLTYPE qkVerifyTrustImpl::Clear()
{
    FileCache::Instance().Clear();
}

DWORD STDMETHODCALLTYPE qkVerifyTrustImpl::Remove(const wchar_t* path)
{
    if (m_useHashProvider && Provider())
        return VT_INVALID_ARGUMENT;
    if (path == nullptr || *path == L'\0')
        return VT_INVALID_ARGUMENT;
    try {
        return FileCache::Instance().Remove(NormalisePath(path).c_str());
    } catch (...) {
        return VT_INTERNAL_FAILURE;
    }
}

void STDMETHODCALLTYPE qkVerifyTrustImpl::SetOption(BYTE useHashProvider)
{
    m_useHashProvider = useHashProvider;
}
BYTE STDMETHODCALLTYPE qkVerifyTrustImpl::GetOption()
{
    return m_useHashProvider;
}
