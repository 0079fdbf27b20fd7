#include "net/proxy/Tolk_CInstallEngineWinHTTPClient.h"

#include "common/base/qkMemory.h"
#include "common/errors/qkLog.h"
#include "common/system/qkFile.h"
#include "common/system/qkOSInfo.h"
#include "common/system/qkRegistry.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <algorithm>
#include <cwctype>
#include <map>
#include <new>
#include <vector>

namespace Tolk {
namespace {

constexpr const wchar_t* kInternetSettings = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr const wchar_t* kProxyPolicy = L"Software\\Policies\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr const wchar_t* kBrowserCommand = L"http\\shell\\open\\command";
// The flags byte of "DefaultConnectionSettings" (after its version and change counter).
constexpr std::size_t kConnectionFlagsOffset = 8;
constexpr BYTE kFlagManualProxy = 0x02;
constexpr BYTE kFlagAutoDetect = 0x08;

HRESULT FromWin32(DWORD error)
{
    return HRESULT_FROM_WIN32(error != 0 ? error : ERROR_GEN_FAILURE);
}

std::wstring Lower(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return text;
}

std::wstring Upper(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); });
    return text;
}

std::wstring Trim(const std::wstring& text)
{
    const std::size_t first = text.find_first_not_of(L" \t\r\n");
    if (first == std::wstring::npos)
        return {};
    const std::size_t last = text.find_last_not_of(L" \t\r\n");
    return text.substr(first, last - first + 1);
}

bool IsFileUrl(const std::wstring& url)
{
    return Lower(url).find(L"file://") != std::wstring::npos;
}

bool Exists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A whole unsigned decimal number (a preference value that must be one).
bool ParseNumber(const std::wstring& text, long& value)
{
    if (text.empty() || text.size() > 9)
        return false;
    if (!std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; }))
        return false;
    value = std::wcstol(text.c_str(), nullptr, 10);
    return true;
}

// The preferences whose values are numbers.
bool IsNumericPreference(const std::wstring& name)
{
    return name == L"network.proxy.type" || (name.size() > 5 && name.compare(name.size() - 5, 5, L"_port") == 0);
}

} // namespace

HRESULT CInstallEngineWinHTTPClient::AppDataFolder(std::wstring& folder)
{
    if (!m_roots.appData.empty()) {
        folder = m_roots.appData;
    } else {
        wchar_t path[MAX_PATH] = {};
        const HRESULT hr = ::SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path);
        if (FAILED(hr)) {
            QK_LOG_ERROR(L"Could not get AppData folder 0x%08x", static_cast<unsigned>(hr));
            return hr;
        }
        folder = path;
    }
    if (!folder.empty() && folder.back() != L'\\')
        folder += L'\\';
    return S_OK;
}

HRESULT CInstallEngineWinHTTPClient::QueryDefaultBrowser(std::wstring& progId)
{
    IApplicationAssociationRegistration* registration = nullptr;
    HRESULT hr = ::CoCreateInstance(CLSID_ApplicationAssociationRegistration, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_PPV_ARGS(&registration));
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Could not create IApplicationAssociationRegistration (0x%08x)", static_cast<unsigned>(hr));
        return hr;
    }
    wchar_t* answer = nullptr;
    hr = registration->QueryCurrentDefault(L"http", AT_URLPROTOCOL, AL_EFFECTIVE, &answer);
    registration->Release();
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"QueryCurrentDefault returned 0x%08x", static_cast<unsigned>(hr));
        return hr;
    }
    progId = answer ? answer : L"";
    ::CoTaskMemFree(answer);
    return S_OK;
}

HRESULT CInstallEngineWinHTTPClient::ReadDefaultBrowserCommand(std::wstring& command)
{
    qkRegistry key;
    if (!key.Open(m_roots.classesRoot, kBrowserCommand, KEY_READ)) {
        QK_LOG_ERROR(L"failed to find default browser key: %lu", key.GetLastError());
        return FromWin32(key.GetLastError());
    }
    if (!key.QueryStringValue(L"", command)) {
        QK_LOG_ERROR(L"couldn't find default browser");
        return FromWin32(key.GetLastError());
    }
    return S_OK;
}

HRESULT CInstallEngineWinHTTPClient::GetProxyFromBrowser(BrowserProxy& proxy, bool registryOnly)
{
    proxy.Clear();
    std::wstring browser;
    const HRESULT hr = (!registryOnly && qkOSInfo::IsWindowsVista(TRUE)) ? QueryDefaultBrowser(browser)
                                                                         : ReadDefaultBrowserCommand(browser);
    if (FAILED(hr))
        return hr;
    if (Upper(browser).find(L"FIREFOX") == std::wstring::npos) {
        QK_LOG_INFO(L"Getting settings from IE");
        return GetSystemProxy(proxy);
    }
    QK_LOG_INFO(L"Getting settings from FireFox");
    const HRESULT firefox = GetProxyFromFirefox(proxy);
    if (SUCCEEDED(firefox))
        return firefox;
    QK_LOG_WARNING(L"Getting settings from FF failed (0x%08x) Getting settings from IE",
                   static_cast<unsigned>(firefox));
    return GetSystemProxy(proxy);
}

HRESULT CInstallEngineWinHTTPClient::GetSystemProxy(BrowserProxy& proxy)
{
    proxy.Clear();
    DWORD perUser = 1;
    qkRegistry policy;
    if (policy.Open(m_roots.localMachine, kProxyPolicy, KEY_READ)) {
        DWORD value = 0;
        if (policy.GetDWORDValue(L"ProxySettingsPerUser", value))
            perUser = value;
        else
            QK_LOG_INFO(L"Proxy per Machine is not configured");
    }
    bool manual = false;
    if (perUser != 0)
        return GetProxyFromIE(m_roots.currentUser, KEY_READ, proxy, manual);
    const HRESULT hr = GetProxyFromIE(m_roots.localMachine, KEY_READ | KEY_WOW64_32KEY, proxy, manual);
    if (manual)
        return hr;
    return GetProxyFromIE(m_roots.localMachine, KEY_READ | KEY_WOW64_64KEY, proxy, manual);
}

HRESULT CInstallEngineWinHTTPClient::GetProxyFromIE(HKEY root, REGSAM access, BrowserProxy& proxy, bool& manualFlag)
{
    proxy.Clear();
    manualFlag = false;
    try {
        qkRegistry settings;
        if (!settings.Open(root, kInternetSettings, access)) {
            QK_LOG_ERROR(L"failed to open internet settings: %lu", settings.GetLastError());
            return FromWin32(settings.GetLastError());
        }
        qkRegistry connections;
        if (!connections.Open(settings.GetKey(), L"Connections", KEY_READ | qkRegistry::GetViewFlags(access))) {
            QK_LOG_ERROR(L"Couldn't open Connections key %lu", connections.GetLastError());
            return FromWin32(connections.GetLastError());
        }

        qkMemory blob;
        if (connections.QueryBinaryValue(L"DefaultConnectionSettings", blob) &&
            blob.GetSize() > kConnectionFlagsOffset) {
            const BYTE flags = static_cast<const BYTE*>(blob.GetData())[kConnectionFlagsOffset];
            if (flags & kFlagAutoDetect) {
                proxy.autoDetect = true;
                proxy.useProxy = true;
            }
            manualFlag = (flags & kFlagManualProxy) != 0;
        }

        std::wstring autoConfig;
        if (settings.QueryStringValue(L"AutoConfigURL", autoConfig) && !autoConfig.empty()) {
            if (IsFileUrl(autoConfig)) {
                QK_LOG_INFO(L"Ignoring AutoConfigURL %s", autoConfig.c_str());
            } else {
                QK_LOG_INFO(L"AutoConfigURL %s", autoConfig.c_str());
                proxy.autoConfigUrl = autoConfig;
                proxy.autoConfig = true;
                proxy.useProxy = true;
            }
        }

        if (!manualFlag) {
            QK_LOG_INFO(L"No manual proxy settings found");
            return S_OK;
        }

        std::wstring value;
        if (!settings.QueryStringValue(L"ProxyServer", value)) {
            QK_LOG_ERROR(L"failed to read ProxyServer: %lu", settings.GetLastError());
            return FromWin32(settings.GetLastError());
        }
        std::wstring server;
        if (value.find(L'=') == std::wstring::npos) {
            server = value;
        } else {
            // A per-protocol list "http=a:8080;https=b:8443": the http entry, whole.
            const std::wstring list = Lower(value);
            bool found = false;
            for (std::size_t start = 0; start <= list.size() && !found;) {
                std::size_t end = list.find(L';', start);
                if (end == std::wstring::npos)
                    end = list.size();
                const std::wstring entry = Trim(list.substr(start, end - start));
                if (entry.compare(0, 5, L"http=") == 0) {
                    server = Trim(entry.substr(5));
                    found = true;
                }
                start = end + 1;
            }
            if (!found)
                return S_OK;
        }
        // "http://host:port" names the proxy by address; only the host and port count.
        const std::size_t scheme = server.find(L"://");
        if (scheme != std::wstring::npos)
            server.erase(0, scheme + 3);
        if (server.empty())
            return S_OK;

        DWORD port = 0;
        const std::size_t colon = server.rfind(L':');
        const std::size_t bracket = server.rfind(L']');
        if (colon != std::wstring::npos && (bracket == std::wstring::npos || colon > bracket)) {
            port = static_cast<DWORD>(std::wcstoul(server.c_str() + colon + 1, nullptr, 10));
            server.erase(colon);
        }
        proxy.server = server;
        proxy.port = port;
        proxy.manualServer = true;
        proxy.useProxy = true;
        QK_LOG_INFO(L"IE proxy server settings: %s, Port : %lu", proxy.server.c_str(), port);
        return S_OK;
    } catch (const std::bad_alloc&) {
        QK_LOG_ERROR(L"Failed to get proxy settings");
        return E_OUTOFMEMORY;
    }
}

HRESULT CInstallEngineWinHTTPClient::GetFFProfilesFolder(std::wstring& folder)
{
    std::wstring appData;
    HRESULT hr = AppDataFolder(appData);
    if (FAILED(hr))
        return hr;
    const std::wstring firefox = appData + L"Mozilla\\Firefox\\";
    const std::wstring ini = firefox + L"Profiles.ini";
    if (!Exists(ini)) {
        QK_LOG_ERROR(L"ini file not found %s", ini.c_str());
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }

    std::vector<wchar_t> names(20);
    for (;;) {
        const DWORD got = ::GetPrivateProfileSectionNamesW(names.data(), static_cast<DWORD>(names.size()), ini.c_str());
        if (got + 2 < names.size())
            break;
        names.resize(names.size() + 20);
    }

    std::wstring last;
    for (const wchar_t* section = names.data(); *section != L'\0'; section += wcslen(section) + 1) {
        if (_wcsicmp(section, L"General") == 0)
            continue;
        const int isDefault = static_cast<int>(::GetPrivateProfileIntW(section, L"Default", -1, ini.c_str()));
        std::vector<wchar_t> path(260);
        for (;;) {
            const DWORD got = ::GetPrivateProfileStringW(section, L"Path", L"", path.data(),
                                                         static_cast<DWORD>(path.size()), ini.c_str());
            if (got + 1 < path.size())
                break;
            path.resize(path.size() * 2);
        }
        // Sections without a path (installation records, background-task lists) are not profiles.
        std::wstring relative(path.data());
        if (relative.empty())
            continue;
        std::replace(relative.begin(), relative.end(), L'/', L'\\');
        const int isRelative = static_cast<int>(::GetPrivateProfileIntW(section, L"IsRelative", 0, ini.c_str()));
        std::wstring candidate = isRelative == 1 ? firefox + relative : relative;
        if (candidate.back() != L'\\')
            candidate += L'\\';
        if (isDefault == 1 && Exists(candidate)) {
            QK_LOG_INFO(L"found default profile %s", candidate.c_str());
            folder = candidate;
            return S_OK;
        }
        last = candidate;
    }
    if (last.empty()) {
        QK_LOG_ERROR(L"FF ini file appears corrupted");
        return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    }
    QK_LOG_INFO(L"Default profile not found, using most recently created");
    folder = last;
    return S_OK;
}

HRESULT CInstallEngineWinHTTPClient::GetProxyFromFirefox(BrowserProxy& proxy)
{
    proxy.Clear();
    std::wstring folder;
    const HRESULT hr = GetFFProfilesFolder(folder);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"GetFFProfilesFolder failed 0x%08x", static_cast<unsigned>(hr));
        return hr;
    }
    // user.js overrides prefs.js in the browser; a user.js without proxy preferences leaves the
    // choice to prefs.js.
    const wchar_t* const files[] = {L"user.js", L"prefs.js"};
    for (const wchar_t* file : files) {
        std::wstring path;
        try {
            path = folder + file;
        } catch (const std::bad_alloc&) {
            QK_LOG_ERROR(L"failed allocating space for %s", file);
            return E_OUTOFMEMORY;
        }
        if (!ReadFirefoxFile(path, proxy, file == files[1])) {
            QK_LOG_ERROR(L"Failed getting settings from %s", path.c_str());
            return E_FAIL;
        }
        if (proxy.useProxy)
            return S_OK;
    }
    return S_OK;
}

bool CInstallEngineWinHTTPClient::GetFFSettingsfromFile(const std::wstring& path, BrowserProxy& proxy)
{
    return ReadFirefoxFile(path, proxy, true);
}

bool CInstallEngineWinHTTPClient::ReadFirefoxFile(const std::wstring& path, BrowserProxy& proxy, bool systemWhenUnset)
{
    proxy.Clear();
    if (!Exists(path))
        return true;
    try {
        qkFile file;
        if (!file.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                       nullptr)) {
            QK_LOG_ERROR(L"Failed to open FFSettings file 0x%08x",
                         static_cast<unsigned>(HRESULT_FROM_WIN32(file.GetLastError())));
            return false;
        }
        ULONGLONG size = 0;
        if (!file.GetSize(&size)) {
            QK_LOG_ERROR(L"Failed to open FFSettings file 0x%08x",
                         static_cast<unsigned>(HRESULT_FROM_WIN32(file.GetLastError())));
            return false;
        }
        if (size >= 0x80000000ull) {
            QK_LOG_ERROR(L"List size too large: %Iu", static_cast<std::size_t>(size));
            return false;
        }
        std::string bytes(static_cast<std::size_t>(size), '\0');
        if (size != 0 && !file.Read(bytes.data(), static_cast<DWORD>(size))) {
            QK_LOG_ERROR(L"Failed to read FFSettings file %s: %lu", path.c_str(), file.GetLastError());
            return false;
        }
        std::wstring text;
        if (!bytes.empty()) {
            const int chars =
                ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
            if (chars <= 0) {
                QK_LOG_ERROR(L"Failed to convert FFSettings file %s: %lu", path.c_str(), ::GetLastError());
                return false;
            }
            text.resize(static_cast<std::size_t>(chars));
            ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), chars);
        }

        // One preference a line: user_pref("network.proxy.<name>", <value>);
        std::map<std::wstring, std::wstring> prefs;
        for (std::size_t start = 0; start < text.size();) {
            std::size_t end = text.find(L'\n', start);
            if (end == std::wstring::npos)
                end = text.size();
            const std::wstring line = text.substr(start, end - start);
            start = end + 1;
            const std::size_t pref = line.find(L"user_pref");
            if (pref == std::wstring::npos || line.find(L"network.proxy") == std::wstring::npos)
                continue;
            // The preference's name is the first quoted text: "network.proxy" inside another
            // preference's value does not make it a proxy preference.
            const std::size_t open = line.find(L'"', pref);
            const std::size_t name = open == std::wstring::npos ? open : open + 1;
            if (name != std::wstring::npos && line.compare(name, 13, L"network.proxy") != 0)
                continue;
            const std::size_t quote = name == std::wstring::npos ? name : line.find(L'"', name);
            const std::size_t comma = quote == std::wstring::npos ? quote : line.find(L',', quote);
            const std::size_t paren = comma == std::wstring::npos ? comma : line.find(L')', comma);
            if (paren == std::wstring::npos) {
                // A broken line is left out whole: nothing of it is taken over.
                QK_LOG_WARNING(L"File appears corrupted, line skipped: %s", Trim(line).c_str());
                continue;
            }
            std::wstring value = Trim(line.substr(comma + 1, paren - comma - 1));
            value.erase(std::remove(value.begin(), value.end(), L'"'), value.end());
            const std::wstring key = line.substr(name, quote - name);
            long number = 0;
            if (IsNumericPreference(key) && !ParseNumber(value, number)) {
                QK_LOG_WARNING(L"File appears corrupted, line skipped: %s", Trim(line).c_str());
                continue;
            }
            prefs[key] = value;
        }
        if (prefs.empty()) {
            QK_LOG_INFO(L"no network proxy settings found");
            if (!systemWhenUnset)
                return true;
        }

        auto find = [&prefs](const wchar_t* key) -> const std::wstring* {
            const auto found = prefs.find(key);
            return found == prefs.end() || found->second.empty() ? nullptr : &found->second;
        };
        long type = 5;
        if (const std::wstring* value = find(L"network.proxy.type"))
            ParseNumber(*value, type);
        switch (type) {
        case 0:
            return true;
        case 1: {
            const std::wstring* server = find(L"network.proxy.http");
            if (server == nullptr)
                return true;
            long port = 0;
            if (const std::wstring* value = find(L"network.proxy.http_port"))
                ParseNumber(*value, port);
            proxy.server = *server;
            proxy.port = static_cast<std::uint32_t>(port);
            proxy.manualServer = true;
            proxy.useProxy = true;
            return true;
        }
        case 2: {
            const std::wstring* url = find(L"network.proxy.autoconfig_url");
            if (url == nullptr) {
                QK_LOG_ERROR(L"autoconfig url not found in settings");
                return false;
            }
            if (IsFileUrl(*url)) {
                QK_LOG_INFO(L"Ignoring AutoConfigURL %s", url->c_str());
                return true;
            }
            QK_LOG_INFO(L"AutoConfigURL %s", url->c_str());
            proxy.autoConfigUrl = *url;
            proxy.autoConfig = true;
            proxy.useProxy = true;
            return true;
        }
        case 4:
            proxy.autoDetect = true;
            proxy.useProxy = true;
            return true;
        case 5:
            if (FAILED(GetSystemProxy(proxy))) {
                QK_LOG_ERROR(L"use system proxy: failed to get proxy settings from IE");
                return false;
            }
            QK_LOG_INFO(L"use system proxy: Getting proxy settings from IE");
            return true;
        default:
            QK_LOG_ERROR(L"%d is not a valid proxy type", static_cast<int>(type));
            return false;
        }
    } catch (const std::exception& e) {
        QK_LOG_ERROR(L"GetFFSettingsfromFile failed (%hs)", e.what());
        return false;
    }
}

} // namespace Tolk
