#include "common/system/CIsolation.h"

#include "common/base/qkCriticalSection.h"
#include "common/base/qkExceptionInfo.h"
#include "common/base/qkScopedLock.h"
#include "common/base/qkTrace.h"
#include "common/base/qkWideFormat.h"
#include "common/system/qkFolderTrust.h"
#include "common/system/qkHandle.h"
#include "common/system/qkKernel32.h"
#include "common/system/qkResourceHolders.h"
#include "common/base/qkTextCompare.h"

#include <shlwapi.h>
#include <io.h>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

const wchar_t kIniName[] = L"isolate.ini";
const wchar_t kSection[] = L"isolation";
const wchar_t kDefaultRoot[] = L"Software\\Talvern\\Isolation";
constexpr size_t kGuidChars = 38;
// Root (a registry key path is at most 255 characters), "\" and the id.
constexpr size_t kPathChars = 256 + 1 + kGuidChars + 1;

// Process-wide state. The texts are written before the flag that publishes them; the replaced
// path has a buffer of its own so that a reader never sees it half written.
wchar_t g_siloId[kGuidChars + 1];
wchar_t g_initialPath[kPathChars];
wchar_t g_rootPath[kPathChars];
std::atomic<const wchar_t*> g_path{nullptr};
DWORD g_viewFlag;
volatile LONG g_initialised;
volatile LONG g_rootSet;

// The isolation lock serialises the two setters. It is the innermost lock of the library.
qkCriticalSection& IsolationLock()
{
    static qkCriticalSection lock;
    return lock;
}

bool IsFlagSet(volatile LONG* flag)
{
    return ::InterlockedCompareExchange(flag, 0, 0) != 0;
}

bool IsHexDigit(wchar_t c)
{
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

std::wstring Trim(const std::wstring& text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

// Copies at most maxChars characters and a terminator; returns the number copied.
DWORD CopyTruncated(wchar_t* out, DWORD outChars, const wchar_t* text, size_t maxChars)
{
    if (outChars == 0)
        return 0;
    size_t n = std::wcslen(text);
    if (n > maxChars)
        n = maxChars;
    std::wmemcpy(out, text, n);
    out[n] = L'\0';
    return static_cast<DWORD>(n);
}

// Reads the whole file as wide text: UTF-16LE after FF FE, else 8-bit text converted with the
// C runtime's multibyte conversion. False for a missing, empty or unreadable file.
bool ReadIniText(const wchar_t* filePath, std::wstring& text)
{
    if (::_waccess(filePath, 0) != 0)
        return false;
    const qkHandle file(
        ::CreateFileW(filePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
        return false;
    std::string bytes;
    LARGE_INTEGER size{};
    bool ok = ::GetFileSizeEx(file.Get(), &size) && size.QuadPart > 0 && size.QuadPart < 0x1000000;
    if (ok) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        ok = ::ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) && read > 0;
        bytes.resize(read);
    }
    if (!ok)
        return false;

    if (bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        text.assign(bytes.size() / 2 - 1, L'\0');
        std::memcpy(text.data(), bytes.data() + 2, text.size() * sizeof(wchar_t));
        return true;
    }
    text.assign(bytes.size() + 1, L'\0');
    size_t converted = 0;
    if (::mbstowcs_s(&converted, text.data(), text.size(), bytes.c_str(), _TRUNCATE) != 0)
        return false;
    text.resize(converted > 0 ? converted - 1 : 0);
    return true;
}

// Forms root + "\" + id into the buffer; false when it does not fit.
bool FormatSiloPath(wchar_t* out, const wchar_t* root, const wchar_t* id)
{
    int n = qkLib::FormatWide(out, kPathChars, L"%ls\\%ls", root, id);
    if (n < 0 || static_cast<size_t>(n) >= kPathChars) {
        out[0] = L'\0';
        return false;
    }
    return true;
}

} // namespace

bool CIsolation::IsGuidText(const wchar_t* text)
{
    if (text == nullptr || std::wcslen(text) != kGuidChars)
        return false;
    if (text[0] != L'{' || text[37] != L'}')
        return false;
    for (size_t i = 1; i <= 36; ++i) {
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            if (text[i] != L'-')
                return false;
        } else if (!IsHexDigit(text[i])) {
            return false;
        }
    }
    return true;
}

DWORD CIsolation::FindIsolateIni(wchar_t* outPath)
{
    if (outPath == nullptr)
        return ERROR_INVALID_PARAMETER;
    outPath[0] = L'\0';
    // The module that holds this code: the program itself, or a DLL that links the library.
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&CIsolation::FindIsolateIni), &module);
    wchar_t modulePath[MAX_PATH];
    DWORD n = ::GetModuleFileNameW(module, modulePath, MAX_PATH);
    if (n == 0)
        return ::GetLastError();
    if (n >= MAX_PATH)
        return ERROR_INSUFFICIENT_BUFFER; // truncated: searching it would look in the wrong place
    return FindIsolateIniFrom(modulePath, outPath);
}

DWORD CIsolation::FindIsolateIniFrom(const wchar_t* filePath, wchar_t* outPath)
{
    if (outPath == nullptr || filePath == nullptr)
        return ERROR_INVALID_PARAMETER;
    outPath[0] = L'\0';
    wchar_t folder[MAX_PATH];
    if (::wcscpy_s(folder, filePath) != 0)
        return ERROR_INSUFFICIENT_BUFFER;
    enum class Rights { Unknown, Full, Limited } fullRights = Rights::Unknown;
    for (;;) {
        if (!::PathRemoveFileSpecW(folder) || ::PathIsUNCServerW(folder))
            return ERROR_FILE_NOT_FOUND;
        wchar_t candidate[MAX_PATH];
        if (::wcscpy_s(candidate, folder) != 0 || !::PathAppendW(candidate, kIniName))
            return ERROR_INTERNAL_ERROR;
        if (::GetFileAttributesW(candidate) != INVALID_FILE_ATTRIBUTES) {
            // With full rights a file that another account could have planted or changed would
            // choose the silo, the registry view and the root of a process that trusts them.
            if (fullRights == Rights::Unknown)
                fullRights = qkFolderTrust::HasFullRights() ? Rights::Full : Rights::Limited;
            if (fullRights == Rights::Full &&
                (qkFolderTrust::OthersCanWrite(folder) || qkFolderTrust::OthersCanWrite(candidate))) {
                QK_TRACE(L"%s may be written by other accounts, not read", candidate);
                continue;
            }
            if (::wcscpy_s(outPath, kIniPathChars, candidate) != 0)
                return ERROR_INSUFFICIENT_BUFFER;
            return ERROR_SUCCESS;
        }
    }
}

bool CIsolation::LookupIniKey(const std::wstring& text, const wchar_t* key, std::wstring& value)
{
    value.clear();
    std::wstring wanted = Trim(key != nullptr ? key : L"");
    if (wanted.empty())
        return false;
    if (wanted.size() > 2047)
        wanted.resize(2047);

    bool inSection = false;
    size_t pos = 0;
    while (pos < text.size()) {
        // Lines end in LF or CR LF alike.
        size_t end = text.find(L'\n', pos);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        line = Trim(line);
        if (line.empty() || line[0] == L';' || line[0] == L'#')
            continue;
        if (line[0] == L'[') {
            // A section header ends the previous section.
            std::wstring name = line.substr(1);
            if (!name.empty() && name.back() == L']')
                name.pop_back();
            inSection = qkLib::EqualsAsciiNoCase(Trim(name), kSection);
            continue;
        }
        if (!inSection)
            continue;
        size_t equals = line.find(L'=');
        std::wstring name = Trim(line.substr(0, equals));
        if (!qkLib::EqualsAsciiNoCase(name, wanted))
            continue;
        if (equals == std::wstring::npos)
            return false;
        value = Trim(line.substr(equals + 1));
        return true;
    }
    return false;
}

DWORD CIsolation::ReadIniValue(const wchar_t* key, const wchar_t* defaultValue, wchar_t* out, DWORD outChars,
                               const wchar_t* filePath)
{
    if (out == nullptr || filePath == nullptr)
        return 0;
    qkExceptionInfo info;
    try {
        std::wstring text;
        std::wstring value;
        if (ReadIniText(filePath, text) && LookupIniKey(text, key, value) && !value.empty())
            return CopyTruncated(out, outChars, value.c_str(), outChars - 1);
    }
    QK_CATCH(info) // the default applies
    return CopyTruncated(out, outChars, defaultValue != nullptr ? defaultValue : L"", outChars >= 2 ? outChars - 2 : 0);
}

DWORD CIsolation::ReadNative64(DWORD* viewFlag, const wchar_t* filePath)
{
    if (viewFlag == nullptr)
        return ERROR_INVALID_PARAMETER;
    *viewFlag = 0;
    wchar_t found[kIniPathChars];
    if (filePath == nullptr) {
        DWORD error = FindIsolateIni(found);
        if (error == ERROR_FILE_NOT_FOUND)
            return ERROR_SUCCESS;
        if (error != ERROR_SUCCESS)
            return error;
        filePath = found;
    }
    wchar_t native[2];
    bool nativeRequested = ReadIniValue(L"Native64", L"", native, 2, filePath) == 1 && native[0] == L'1';
    if (nativeRequested && qkKernel32::IsWow64Process())
        *viewFlag = KEY_WOW64_64KEY;
    return ERROR_SUCCESS;
}

DWORD CIsolation::GetSiloRegistryRoot(wchar_t* out, const wchar_t* filePath)
{
    if (out == nullptr)
        return ERROR_INVALID_PARAMETER;
    out[0] = L'\0';
    wchar_t found[kIniPathChars];
    if (filePath == nullptr) {
        DWORD error = FindIsolateIni(found);
        if (error == ERROR_FILE_NOT_FOUND) {
            ::wcscpy_s(out, kRootChars, kDefaultRoot);
            return ERROR_SUCCESS;
        }
        if (error != ERROR_SUCCESS)
            return error;
        filePath = found;
    }
    if (ReadIniValue(L"reghive", kDefaultRoot, out, kRootChars, filePath) == kRootChars - 1) {
        out[0] = L'\0';
        return ERROR_INSUFFICIENT_BUFFER;
    }
    DWORD viewFlag = 0;
    DWORD error = ReadNative64(&viewFlag, filePath);
    if (error != ERROR_SUCCESS)
        return error;
    // The root need not exist yet (or be readable by us), but it must be a usable key path.
    qkRegKey key;
    const LONG status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, out, 0, KEY_READ | viewFlag, key.Receive());
    if (status != ERROR_SUCCESS && status != ERROR_ACCESS_DENIED && status != ERROR_FILE_NOT_FOUND)
        out[0] = L'\0';
    return out[0] == L'\0' ? ERROR_INVALID_DATA : ERROR_SUCCESS;
}

BOOL CIsolation::SetSiloID(const wchar_t* siloId)
{
    if (IsFlagSet(&g_initialised))
        return TRUE;
    qkScopedLock lock(IsolationLock());
    if (!lock.IsLocked())
        return FALSE;
    if (IsFlagSet(&g_initialised))
        return TRUE;

    wchar_t iniPath[kIniPathChars];
    bool iniFound = FindIsolateIni(iniPath) == ERROR_SUCCESS;
    wchar_t id[40];
    if (siloId != nullptr) {
        if (!IsGuidText(siloId)) {
            QK_TRACE(L"not a braced GUID : %s", siloId);
            return FALSE;
        }
        ::wcscpy_s(id, siloId);
    } else {
        if (!iniFound) {
            QK_TRACE(L"no silo id given and no isolate.ini found");
            return FALSE;
        }
        if (ReadIniValue(L"silo", L"", id, 40, iniPath) == 39 || !IsGuidText(id)) {
            QK_TRACE(L"no valid silo id in %s", iniPath);
            return FALSE;
        }
    }
    ::wcscpy_s(g_siloId, id);

    wchar_t root[kRootChars];
    DWORD error = GetSiloRegistryRoot(root, iniFound ? iniPath : nullptr);
    if (error != ERROR_SUCCESS) {
        QK_TRACE(L"no silo registry root : %lu", error);
        return FALSE;
    }
    if (!FormatSiloPath(g_initialPath, root, g_siloId))
        return FALSE;
    DWORD viewFlag = 0;
    error = ReadNative64(&viewFlag, iniFound ? iniPath : nullptr);
    if (error != ERROR_SUCCESS) {
        QK_TRACE(L"no registry view flag : %lu", error);
        return FALSE;
    }
    g_viewFlag = viewFlag;
    g_path.store(g_initialPath);
    ::InterlockedExchange(&g_initialised, 1);
    return TRUE;
}

BOOL CIsolation::SetSiloRegistryRoot(const wchar_t* root)
{
    if (!SetSiloID(nullptr)) {
        QK_TRACE(L"the silo is not set");
        return FALSE;
    }
    if (IsFlagSet(&g_rootSet))
        return TRUE;
    qkScopedLock lock(IsolationLock());
    if (!lock.IsLocked())
        return FALSE;
    if (IsFlagSet(&g_rootSet))
        return TRUE;

    wchar_t iniRoot[kRootChars];
    if (root == nullptr) {
        DWORD error = GetSiloRegistryRoot(iniRoot, nullptr);
        if (error != ERROR_SUCCESS) {
            QK_TRACE(L"no silo registry root : %lu", error);
            return FALSE;
        }
        root = iniRoot;
    }
    // Too long a root is refused, never truncated.
    if (!FormatSiloPath(g_rootPath, root, g_siloId)) {
        QK_TRACE(L"root too long : %s", root);
        return FALSE;
    }
    g_path.store(g_rootPath);
    ::InterlockedExchange(&g_rootSet, 1);
    return TRUE;
}

const wchar_t* CIsolation::GetSiloRegistryPath()
{
    if (!SetSiloID(nullptr)) {
        QK_TRACE(L"no silo");
        return nullptr;
    }
    return g_path.load();
}

const wchar_t* CIsolation::GetSiloID()
{
    if (!SetSiloID(nullptr)) {
        QK_TRACE(L"no silo");
        return nullptr;
    }
    return g_siloId;
}

DWORD CIsolation::GetRegistryViewFlags()
{
    if (!SetSiloID(nullptr))
        return 0;
    return g_viewFlag;
}
