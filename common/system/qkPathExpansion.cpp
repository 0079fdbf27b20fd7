#include "common/system/qkPathExpansion.h"

#include "common/base/qkCriticalSection.h"
#include "common/base/qkExceptionInfo.h"
#include "common/base/qkScopedLock.h"
#include "common/base/qkStringConvert.h"
#include "common/base/qkTrace.h"
#include "common/system/CIsolation.h"
#include "common/system/qkOSInfo.h"
#include "common/system/qkRegistry.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <set>

namespace {

const wchar_t kMapSubkey[] = L"\\Keel Core\\PathExpansionMap";
const wchar_t kDefaultExtension[] = L"Talvern";
constexpr DWORD kNotFound = 0xFFFFFFFF;
constexpr DWORD kCommonSiloData = 0xF0000000;
constexpr DWORD kLocalSiloData = 0xF0000001;
constexpr DWORD kProgramFilesX64 = 0xF0000002;
constexpr DWORD kProgramFilesCommonX64 = 0xF0000003;

struct FolderRow {
    const wchar_t* name;
    DWORD id;
};

// Sorted in case-insensitive order for the binary search.
const FolderRow kFolders[] = {
    {L"COMMON_SILO_DATA", kCommonSiloData},
    {L"CSIDL_ADMINTOOLS", CSIDL_ADMINTOOLS},
    {L"CSIDL_ALTSTARTUP", CSIDL_ALTSTARTUP},
    {L"CSIDL_APPDATA", CSIDL_APPDATA},
    {L"CSIDL_BITBUCKET", CSIDL_BITBUCKET},
    {L"CSIDL_CDBURN_AREA", CSIDL_CDBURN_AREA},
    {L"CSIDL_COMMON_ADMINTOOLS", CSIDL_COMMON_ADMINTOOLS},
    {L"CSIDL_COMMON_ALTSTARTUP", CSIDL_COMMON_ALTSTARTUP},
    {L"CSIDL_COMMON_APPDATA", CSIDL_COMMON_APPDATA},
    {L"CSIDL_COMMON_DESKTOPDIRECTORY", CSIDL_COMMON_DESKTOPDIRECTORY},
    {L"CSIDL_COMMON_DOCUMENTS", CSIDL_COMMON_DOCUMENTS},
    {L"CSIDL_COMMON_FAVORITES", CSIDL_COMMON_FAVORITES},
    {L"CSIDL_COMMON_MUSIC", CSIDL_COMMON_MUSIC},
    {L"CSIDL_COMMON_OEM_LINKS", CSIDL_COMMON_OEM_LINKS},
    {L"CSIDL_COMMON_PICTURES", CSIDL_COMMON_PICTURES},
    {L"CSIDL_COMMON_PROGRAMS", CSIDL_COMMON_PROGRAMS},
    {L"CSIDL_COMMON_STARTMENU", CSIDL_COMMON_STARTMENU},
    {L"CSIDL_COMMON_STARTUP", CSIDL_COMMON_STARTUP},
    {L"CSIDL_COMMON_TEMPLATES", CSIDL_COMMON_TEMPLATES},
    {L"CSIDL_COMMON_VIDEO", CSIDL_COMMON_VIDEO},
    {L"CSIDL_COMPUTERSNEARME", CSIDL_COMPUTERSNEARME},
    {L"CSIDL_CONNECTIONS", CSIDL_CONNECTIONS},
    {L"CSIDL_CONTROLS", CSIDL_CONTROLS},
    {L"CSIDL_COOKIES", CSIDL_COOKIES},
    {L"CSIDL_DESKTOP", CSIDL_DESKTOP},
    {L"CSIDL_DESKTOPDIRECTORY", CSIDL_DESKTOPDIRECTORY},
    {L"CSIDL_DRIVES", CSIDL_DRIVES},
    {L"CSIDL_FAVORITES", CSIDL_FAVORITES},
    {L"CSIDL_FONTS", CSIDL_FONTS},
    {L"CSIDL_HISTORY", CSIDL_HISTORY},
    {L"CSIDL_INTERNET", CSIDL_INTERNET},
    {L"CSIDL_INTERNET_CACHE", CSIDL_INTERNET_CACHE},
    {L"CSIDL_LOCAL_APPDATA", CSIDL_LOCAL_APPDATA},
    {L"CSIDL_MYMUSIC", CSIDL_MYMUSIC},
    {L"CSIDL_MYPICTURES", CSIDL_MYPICTURES},
    {L"CSIDL_MYVIDEO", CSIDL_MYVIDEO},
    {L"CSIDL_NETHOOD", CSIDL_NETHOOD},
    {L"CSIDL_NETWORK", CSIDL_NETWORK},
    {L"CSIDL_PERSONAL", CSIDL_PERSONAL},
    {L"CSIDL_PRINTERS", CSIDL_PRINTERS},
    {L"CSIDL_PRINTHOOD", CSIDL_PRINTHOOD},
    {L"CSIDL_PROFILE", CSIDL_PROFILE},
    {L"CSIDL_PROGRAM_FILES", CSIDL_PROGRAM_FILES},
    {L"CSIDL_PROGRAM_FILES_COMMON", CSIDL_PROGRAM_FILES_COMMON},
    {L"CSIDL_PROGRAM_FILES_COMMONX64", kProgramFilesCommonX64},
    {L"CSIDL_PROGRAM_FILES_COMMONX86", CSIDL_PROGRAM_FILES_COMMONX86},
    {L"CSIDL_PROGRAM_FILESX64", kProgramFilesX64},
    {L"CSIDL_PROGRAM_FILESX86", CSIDL_PROGRAM_FILESX86},
    {L"CSIDL_PROGRAMS", CSIDL_PROGRAMS},
    {L"CSIDL_RECENT", CSIDL_RECENT},
    {L"CSIDL_RESOURCES", CSIDL_RESOURCES},
    {L"CSIDL_RESOURCES_LOCALIZED", CSIDL_RESOURCES_LOCALIZED},
    {L"CSIDL_SENDTO", CSIDL_SENDTO},
    {L"CSIDL_STARTMENU", CSIDL_STARTMENU},
    {L"CSIDL_STARTUP", CSIDL_STARTUP},
    {L"CSIDL_SYSTEM", CSIDL_SYSTEM},
    {L"CSIDL_SYSTEMX86", CSIDL_SYSTEMX86},
    {L"CSIDL_TEMPLATES", CSIDL_TEMPLATES},
    {L"CSIDL_WINDOWS", CSIDL_WINDOWS},
    {L"LOCAL_SILO_DATA", kLocalSiloData},
};
static_assert(sizeof(kFolders) / sizeof(kFolders[0]) == 60, "sixty folder names");

// Process-wide state: the map key, opened once and read-only afterwards.
struct MapState {
    qkCriticalSection lock;
    qkRegistry key;
    volatile LONG loaded = 0;
};

MapState& Map()
{
    static MapState state;
    return state;
}

std::atomic<qkPathExpansion::TokenResolver> g_resolver{nullptr};

std::wstring Lower(const std::wstring& text)
{
    std::wstring lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return lower;
}

// A string value named like the token, else a subkey of that name with "Path32".
bool LookUpInMap(const std::wstring& name, std::wstring& value)
{
    qkRegistry& key = Map().key;
    if (!key.IsOpen())
        return false;
    // The key is shared by every thread: each lookup reads through a wrapper of its own, which
    // hands the key back instead of closing it.
    qkRegistry reader(key.GetKey(), key.GetKeyViewFlags());
    bool found = reader.QueryStringValue(name.c_str(), value) != FALSE;
    reader.Detach();
    if (!found) {
        qkRegistry sub;
        found = sub.Open(key.GetKey(), name.c_str(), KEY_READ | key.GetKeyViewFlags()) &&
                sub.QueryStringValue(L"Path32", value);
    }
    return found;
}

// Collapses doubled backslashes; a leading pair stays a pair (UNC and long-path prefixes).
void CleanBackslashes(std::wstring& text)
{
    if (text.find(L"\\\\") == std::wstring::npos)
        return;
    const bool leadingPair = text.compare(0, 2, L"\\\\") == 0;
    size_t pos;
    while ((pos = text.find(L"\\\\")) != std::wstring::npos)
        text.erase(pos, 1);
    if (leadingPair)
        text.insert(0, 1, L'\\');
}

void ReplaceAll(std::wstring& text, const std::wstring& what, const std::wstring& with)
{
    size_t pos = 0;
    while ((pos = text.find(what, pos)) != std::wstring::npos) {
        text.replace(pos, what.size(), with);
        pos += with.size();
    }
}

bool Expand(const wchar_t* text, std::wstring& out)
{
    out = text;
    if (out.size() < 3)
        return true;
    std::wstring working(text);
    std::set<std::wstring> used;
    bool ok = false;
    for (;;) {
        size_t first = working.find(L'%');
        if (first == std::wstring::npos) {
            out = working;
            ok = true;
            break;
        }
        if (first + 1 >= working.size()) {
            QK_TRACE(L"lone %% at the end of %s", text);
            break;
        }
        size_t second = working.find(L'%', first + 1);
        if (second == std::wstring::npos) {
            QK_TRACE(L"unclosed token in %s", text);
            break;
        }
        const std::wstring token = working.substr(first, second - first + 1);
        const std::wstring name = Lower(token.substr(1, token.size() - 2));
        if (name.empty()) {
            QK_TRACE(L"empty token in %s", text);
            break;
        }
        std::wstring value;
        qkPathExpansion::TokenResolver resolver = g_resolver.load();
        bool found = resolver != nullptr ? resolver(name.c_str(), value) != FALSE : LookUpInMap(name, value);
        if (!found)
            found = qkPathExpansion::ResolveBuiltInToken(name.c_str(), value) != FALSE;
        if (!found) {
            QK_TRACE(L"unknown token %s in %s", token.c_str(), text);
            break;
        }
        // A token may be used once per expansion, which ends every cycle.
        if (!used.insert(name).second) {
            QK_TRACE(L"token %s used twice in %s", token.c_str(), text);
            break;
        }
        ReplaceAll(working, token, value);
    }
    CleanBackslashes(out);
    return ok;
}

} // namespace

void qkPathExpansion::SetTokenResolver(TokenResolver resolver)
{
    g_resolver.store(resolver);
}

BOOL qkPathExpansion::LoadPathExpansionMap()
{
    MapState& map = Map();
    if (::InterlockedCompareExchange(&map.loaded, 0, 0))
        return TRUE;
    qkScopedLock lock(map.lock);
    if (::InterlockedCompareExchange(&map.loaded, 0, 0))
        return TRUE;
    const wchar_t* siloPath = CIsolation::GetSiloRegistryPath();
    if (siloPath == nullptr) {
        QK_TRACE(L"no silo registry path");
        return FALSE;
    }
    qkExceptionInfo info;
    try {
        std::wstring path = std::wstring(siloPath) + kMapSubkey;
        if (!map.key.Open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ | CIsolation::GetRegistryViewFlags())) {
            QK_TRACE(L"cannot open %s : %lu", path.c_str(), map.key.GetLastError());
            return FALSE;
        }
        ::InterlockedExchange(&map.loaded, 1);
        return TRUE;
    }
    QK_CATCH(info)
    return FALSE;
}

BOOL qkPathExpansion::ExpandPath(const wchar_t* text, std::wstring& out)
{
    if (text == nullptr) {
        QK_TRACE(L"no text");
        return FALSE;
    }
    if (g_resolver.load() == nullptr && !LoadPathExpansionMap())
        return FALSE;
    qkExceptionInfo info;
    try {
        return Expand(text, out) ? TRUE : FALSE;
    }
    QK_CATCH(info)
    return FALSE;
}

DWORD qkPathExpansion::FindBuiltInToken(const wchar_t* name)
{
    if (name == nullptr)
        return kNotFound;
    size_t low = 0;
    size_t high = sizeof(kFolders) / sizeof(kFolders[0]);
    while (low < high) {
        size_t mid = (low + high) / 2;
        int order = ::_wcsicmp(name, kFolders[mid].name);
        if (order == 0)
            return kFolders[mid].id;
        if (order < 0)
            high = mid;
        else
            low = mid + 1;
    }
    return kNotFound;
}

BOOL qkPathExpansion::ResolveBuiltInToken(const wchar_t* name, std::wstring& out)
{
    const DWORD id = FindBuiltInToken(name);
    if (id == kNotFound)
        return FALSE;
    if (id == kCommonSiloData)
        return GetSiloDataFolder(CSIDL_COMMON_APPDATA, out);
    if (id == kLocalSiloData)
        return GetSiloDataFolder(CSIDL_LOCAL_APPDATA, out);
    if (id == kProgramFilesX64 || id == kProgramFilesCommonX64) {
        REGSAM access = KEY_READ | (qkOSInfo::IsWow64() ? KEY_WOW64_64KEY : 0);
        qkRegistry key;
        if (!key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", access) ||
            !key.QueryStringValue(id == kProgramFilesX64 ? L"ProgramFilesDir" : L"CommonFilesDir", out)) {
            QK_TRACE(L"cannot read %s : 0x%08lX (%lu)", name, static_cast<unsigned long>(E_FAIL), key.GetLastError());
            return FALSE;
        }
        return TRUE;
    }
    wchar_t folder[MAX_PATH];
    HRESULT hr = ::SHGetFolderPathW(nullptr, static_cast<int>(id), nullptr, SHGFP_TYPE_DEFAULT, folder);
    if (FAILED(hr)) {
        QK_TRACE(L"SHGetFolderPathW %s : 0x%08lX", name, static_cast<unsigned long>(hr));
        return FALSE;
    }
    out = folder;
    return TRUE;
}

BOOL qkPathExpansion::GetSiloDataFolder(int csidl, std::wstring& out)
{
    // An extension that names a silo data folder itself would recurse without end: the inner
    // folder fails, so the extension falls back to the default.
    thread_local bool busy = false;
    if (busy) {
        QK_TRACE(L"the application-data extension refers to a silo data folder");
        out.clear();
        return FALSE;
    }
    struct BusyScope {
        bool& flag;
        explicit BusyScope(bool& f) : flag(f) { flag = true; }
        ~BusyScope() { flag = false; }
    } scope(busy);
    qkExceptionInfo info;
    try {
        std::wstring extension;
        if (!ExpandPath(L"%APPDATAEXTENSION%", extension))
            extension = kDefaultExtension;
        if (extension.size() > 49)
            extension.resize(49);
        const wchar_t* siloId = CIsolation::GetSiloID();
        wchar_t folder[MAX_PATH + 1];
        if (siloId != nullptr && ::SHGetSpecialFolderPathW(nullptr, folder, csidl, FALSE) &&
            ::PathAppendW(folder, extension.c_str()) && ::PathAppendW(folder, siloId)) {
            out = folder;
            return TRUE;
        }
        QK_TRACE(L"no silo data folder for CSIDL %d", csidl);
    }
    QK_CATCH(info)
    out.clear();
    return FALSE;
}

namespace qkLib {

BOOL GetRootPath(wchar_t* buffer, DWORD* sizeBytes)
{
    if (sizeBytes == nullptr)
        return FALSE;
    std::wstring root;
    if (!qkPathExpansion::ExpandPath(L"%QKROOT%", root))
        return FALSE;
    return qkStringConvert::CopyToBuffer(root, buffer, sizeBytes);
}

} // namespace qkLib
