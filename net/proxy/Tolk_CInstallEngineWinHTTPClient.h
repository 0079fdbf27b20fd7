#pragma once
// Reads the proxy configuration of the user's default browser: Internet Explorer's Internet
// Settings (per user, or per machine when the policy says so) or Firefox's preference files in the
// default profile. Results are HRESULTs built from the failing registry, file or shell call.
//
// The registry roots and the application-data folder are those of the system unless a caller
// (a test) gives others; every key path below a root is the system's own.
#include <windows.h>

#include <string>

#include "net/proxy/BrowserProxy.h"

namespace Tolk {

class CInstallEngineWinHTTPClient {
public:
    struct Roots {
        HKEY currentUser = HKEY_CURRENT_USER;
        HKEY localMachine = HKEY_LOCAL_MACHINE;
        HKEY classesRoot = HKEY_CLASSES_ROOT;
        std::wstring appData; // empty: the user's application-data folder
    };

    CInstallEngineWinHTTPClient() = default;
    explicit CInstallEngineWinHTTPClient(Roots roots) : m_roots(std::move(roots)) {}
    virtual ~CInstallEngineWinHTTPClient() = default;

    // The default browser (asked of the shell, or with registryOnly read from the "http" class's
    // open command); Firefox's settings when its name holds "FIREFOX" and they can be read, else
    // Internet Settings.
    HRESULT GetProxyFromBrowser(BrowserProxy& proxy, bool registryOnly);
    // Internet Settings of the user, or of the machine (32-bit view, then 64-bit view) when the
    // policy "ProxySettingsPerUser" is 0.
    HRESULT GetSystemProxy(BrowserProxy& proxy);
    // Internet Settings under one root: the flags of "DefaultConnectionSettings", "AutoConfigURL"
    // and, with the manual flag, the http proxy of "ProxyServer". manualFlag tells whether the
    // connection settings ask for a manual proxy.
    virtual HRESULT GetProxyFromIE(HKEY root, REGSAM access, BrowserProxy& proxy, bool& manualFlag);
    // "user.js", then "prefs.js" of the default profile.
    HRESULT GetProxyFromFirefox(BrowserProxy& proxy);
    // The default profile's folder (with a trailing backslash) from "profiles.ini".
    HRESULT GetFFProfilesFolder(std::wstring& folder);
    // The "network.proxy" preferences of one file; true with nothing found when it is missing.
    bool GetFFSettingsfromFile(const std::wstring& path, BrowserProxy& proxy);

protected:
    // The application-data folder with a trailing backslash.
    virtual HRESULT AppDataFolder(std::wstring& folder);
    // The program id of the default "http" handler, asked of the shell.
    virtual HRESULT QueryDefaultBrowser(std::wstring& progId);

private:
    HRESULT ReadDefaultBrowserCommand(std::wstring& command);
    // systemWhenUnset: a file without any proxy preference means the system's settings (prefs.js)
    // rather than nothing found (user.js).
    bool ReadFirefoxFile(const std::wstring& path, BrowserProxy& proxy, bool systemWhenUnset);

    Roots m_roots;
};

} // namespace Tolk
