// Internet Settings read from values the tests write under a root of their own: the flags of the
// binary "DefaultConnectionSettings", "AutoConfigURL" and "ProxyServer"; the per-user or
// per-machine choice of the policy; and, once, the current user's real values checked against
// what Wine's WinHTTP reads from them.
#include <gtest/gtest.h>

#include <windows.h>
#include <winhttp.h>

#include <optional>

#include "ProxyTestSupport.h"
#include "services/session/LogCapture.h"

using proxy_test::ConnectionSettings;
using proxy_test::kConnections;
using proxy_test::kInternetSettings;
using proxy_test::Narrow;
using proxy_test::TestRoot;
using Tolk::BrowserProxy;
using Tolk::CInstallEngineWinHTTPClient;

namespace {

constexpr DWORD kDirect = 0x01, kManual = 0x02, kAutoDetect = 0x08;

struct IECase {
    const char* what;
    std::optional<DWORD> flags; // none: no DefaultConnectionSettings
    const wchar_t* autoConfig;  // null: no AutoConfigURL
    const wchar_t* proxyServer; // null: no ProxyServer
    HRESULT result;
    bool manual, autoDetect, useProxy, manualServer;
    const wchar_t* server;
    DWORD port;
    const wchar_t* autoConfigUrl;
};

} // namespace

TEST(InternetSettingsTest, ReadsOneRoot)
{
    const HRESULT notFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    const IECase cases[] = {
        {"nothing set", std::nullopt, nullptr, nullptr, S_OK, false, false, false, false, L"", 0, L""},
        {"direct", kDirect, nullptr, L"a:1", S_OK, false, false, false, false, L"", 0, L""},
        {"auto-detect", kDirect | kAutoDetect, nullptr, nullptr, S_OK, false, true, true, false, L"", 0, L""},
        {"manual host and port", kManual, nullptr, L"proxy.test:3128", S_OK, true, false, true, true, L"proxy.test",
         3128, L""},
        {"manual with scheme", kManual, nullptr, L"http://proxy.test:8080", S_OK, true, false, true, true,
         L"proxy.test", 8080, L""},
        {"manual without port", kManual, nullptr, L"proxy.test", S_OK, true, false, true, true, L"proxy.test", 0, L""},
        {"list: http entry first", kManual, nullptr, L"http=a:8080;https=b:8443", S_OK, true, false, true, true, L"a",
         8080, L""},
        {"list: http entry later, upper case", kManual, nullptr, L"FTP=f:21; HTTPS=b:8443; HTTP=Proxy.Test:81", S_OK,
         true, false, true, true, L"proxy.test", 81, L""},
        {"list without http entry", kManual, nullptr, L"https=b:8443;ftp=c:21", S_OK, true, false, false, false, L"", 0,
         L""},
        {"manual flag, no ProxyServer", kManual, nullptr, nullptr, notFound, true, false, false, false, L"", 0, L""},
        {"auto-configuration address", kDirect, L"http://wpad.test/proxy.pac", nullptr, S_OK, false, false, true, false,
         L"", 0, L"http://wpad.test/proxy.pac"},
        {"file address ignored", kDirect, L"FILE://C:/proxy.pac", nullptr, S_OK, false, false, false, false, L"", 0,
         L""},
        {"everything", kManual | kAutoDetect, L"http://wpad.test/p.pac", L"p:1", S_OK, true, true, true, true, L"p", 1,
         L"http://wpad.test/p.pac"},
    };
    for (const IECase& c : cases) {
        TestRoot root(HKEY_CURRENT_USER, L"IE");
        root.SetString(kInternetSettings, L"Marker", L"");
        root.SetString(kConnections, L"Marker", L"");
        if (c.flags)
            root.SetBinary(kConnections, L"DefaultConnectionSettings", ConnectionSettings(*c.flags));
        if (c.autoConfig)
            root.SetString(kInternetSettings, L"AutoConfigURL", c.autoConfig);
        if (c.proxyServer)
            root.SetString(kInternetSettings, L"ProxyServer", c.proxyServer);

        CInstallEngineWinHTTPClient client;
        BrowserProxy proxy;
        proxy.server = L"stale";
        bool manual = !c.manual;
        EXPECT_EQ(client.GetProxyFromIE(root.Key(), KEY_READ, proxy, manual), c.result) << c.what;
        EXPECT_EQ(manual, c.manual) << c.what;
        EXPECT_EQ(proxy.autoDetect, c.autoDetect) << c.what;
        EXPECT_EQ(proxy.useProxy, c.useProxy) << c.what;
        EXPECT_EQ(proxy.manualServer, c.manualServer) << c.what;
        EXPECT_EQ(proxy.server, c.server) << c.what;
        EXPECT_EQ(proxy.port, c.port) << c.what;
        EXPECT_EQ(proxy.autoConfigUrl, c.autoConfigUrl) << c.what;
        EXPECT_EQ(proxy.autoConfig, *c.autoConfigUrl != L'\0') << c.what;
    }
}

TEST(InternetSettingsTest, ShortConnectionSettingsAndMissingKeys)
{
    TestRoot root(HKEY_CURRENT_USER, L"IE");
    CInstallEngineWinHTTPClient client;
    BrowserProxy proxy;
    bool manual = true;
    vek::test::LogCapture log;
    EXPECT_EQ(client.GetProxyFromIE(root.Key(), KEY_READ, proxy, manual), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(log.Contains(L"failed to open internet settings: 2"));

    root.SetString(kInternetSettings, L"ProxyServer", L"p:1");
    EXPECT_EQ(client.GetProxyFromIE(root.Key(), KEY_READ, proxy, manual), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(log.Contains(L"Couldn't open Connections key 2"));

    // Eight bytes end before the flags: nothing is set.
    root.SetBinary(kConnections, L"DefaultConnectionSettings", {0x46, 0, 0, 0, 1, 0, 0, 0});
    EXPECT_EQ(client.GetProxyFromIE(root.Key(), KEY_READ, proxy, manual), S_OK);
    EXPECT_FALSE(manual);
    EXPECT_FALSE(proxy.useProxy);
    root.SetBinary(kConnections, L"DefaultConnectionSettings", {0x46, 0, 0, 0, 1, 0, 0, 0, kManual});
    EXPECT_EQ(client.GetProxyFromIE(root.Key(), KEY_READ, proxy, manual), S_OK);
    EXPECT_TRUE(manual);
    EXPECT_EQ(proxy.server, L"p");
}

namespace {

// Records which root and view the system reader asks, and answers from a table.
class RecordingClient : public CInstallEngineWinHTTPClient {
public:
    using CInstallEngineWinHTTPClient::CInstallEngineWinHTTPClient;
    struct Answer {
        bool manual;
        const wchar_t* server;
    };
    Answer user{false, L"user"}, machine32{false, L"machine32"}, machine64{false, L"machine64"};
    std::vector<std::string> asked;

    HRESULT GetProxyFromIE(HKEY root, REGSAM access, BrowserProxy& proxy, bool& manual) override
    {
        proxy.Clear();
        const bool isUser = root == HKEY_CURRENT_USER;
        const Answer& a = isUser ? user : (access & KEY_WOW64_32KEY) ? machine32 : machine64;
        asked.push_back(isUser ? "user" : (access & KEY_WOW64_32KEY) ? "machine32" : "machine64");
        manual = a.manual;
        proxy.server = a.server;
        proxy.useProxy = true;
        return S_OK;
    }
};

} // namespace

TEST(InternetSettingsTest, PolicyChoosesUserOrMachineSettings)
{
    constexpr const wchar_t* kPolicy = L"Software\\Policies\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
    struct Case {
        const char* what;
        std::optional<DWORD> perUser; // none: no policy value
        bool machine32Manual;
        std::vector<std::string> asked;
        const wchar_t* server;
    } cases[] = {
        {"no policy: per user", std::nullopt, false, {"user"}, L"user"},
        {"per user", 1, true, {"user"}, L"user"},
        {"per machine, 32-bit view has a manual proxy", 0, true, {"machine32"}, L"machine32"},
        {"per machine, 32-bit view has none", 0, false, {"machine32", "machine64"}, L"machine64"},
    };
    for (const Case& c : cases) {
        TestRoot machine(HKEY_LOCAL_MACHINE, L"Policy");
        machine.SetString(kPolicy, L"Marker", L"");
        if (c.perUser)
            machine.SetDword(kPolicy, L"ProxySettingsPerUser", *c.perUser);
        CInstallEngineWinHTTPClient::Roots roots;
        roots.localMachine = machine.Key();
        RecordingClient client(roots);
        client.machine32.manual = c.machine32Manual;
        BrowserProxy proxy;
        EXPECT_EQ(client.GetSystemProxy(proxy), S_OK) << c.what;
        EXPECT_EQ(client.asked, c.asked) << c.what;
        EXPECT_EQ(proxy.server, c.server) << c.what;
    }
}

namespace {

// One value of a key, kept to be put back as it was (or deleted when it was not there).
class SavedValue {
public:
    SavedValue(HKEY key, const wchar_t* name) : m_key(key), m_name(name)
    {
        DWORD size = 0;
        if (RegQueryValueExW(key, name, nullptr, &m_type, nullptr, &size) != ERROR_SUCCESS)
            return;
        m_data.resize(size);
        m_present = RegQueryValueExW(key, name, nullptr, &m_type, m_data.data(), &size) == ERROR_SUCCESS;
    }
    ~SavedValue()
    {
        if (m_present)
            RegSetValueExW(m_key, m_name, 0, m_type, m_data.data(), static_cast<DWORD>(m_data.size()));
        else
            RegDeleteValueW(m_key, m_name);
    }

private:
    HKEY m_key;
    const wchar_t* m_name;
    DWORD m_type = 0;
    std::vector<BYTE> m_data;
    bool m_present = false;
};

} // namespace

// The flags byte that the reader takes is the one Wine's own proxy reader takes.
TEST(InternetSettingsTest, SameReadingAsWinHttpForTheCurrentUser)
{
    HKEY settings = nullptr, connections = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kInternetSettings, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &settings,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_CURRENT_USER, kConnections, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &connections, nullptr),
        ERROR_SUCCESS);
    struct Case {
        DWORD flags;
        const char* proxy;
    } cases[] = {{kManual | kAutoDetect, "cross.test:3128"},
                 {kDirect, ""},
                 {kDirect | kAutoDetect, ""},
                 {kManual, "solo.test:81"}};
    for (const Case& c : cases) {
        SavedValue blob(connections, L"DefaultConnectionSettings"), server(settings, L"ProxyServer"),
            autoConfig(settings, L"AutoConfigURL");
        RegDeleteValueW(settings, L"AutoConfigURL");
        const std::vector<BYTE> value = ConnectionSettings(c.flags, c.proxy);
        RegSetValueExW(connections, L"DefaultConnectionSettings", 0, REG_BINARY, value.data(),
                       static_cast<DWORD>(value.size()));
        const std::wstring proxyText(c.proxy, c.proxy + strlen(c.proxy));
        RegSetValueExW(settings, L"ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(proxyText.c_str()),
                       static_cast<DWORD>((proxyText.size() + 1) * sizeof(wchar_t)));

        WINHTTP_CURRENT_USER_IE_PROXY_CONFIG ie{};
        ASSERT_TRUE(WinHttpGetIEProxyConfigForCurrentUser(&ie)) << GetLastError();
        CInstallEngineWinHTTPClient client;
        BrowserProxy proxy;
        bool manual = false;
        EXPECT_EQ(client.GetProxyFromIE(HKEY_CURRENT_USER, KEY_READ, proxy, manual), S_OK);
        EXPECT_EQ(proxy.autoDetect, ie.fAutoDetect != FALSE) << c.proxy;
        EXPECT_EQ(manual, ie.lpszProxy != nullptr) << c.proxy;
        if (ie.lpszProxy) {
            EXPECT_EQ(proxy.server + L":" + std::to_wstring(proxy.port), ie.lpszProxy);
        }
        for (wchar_t* text : {ie.lpszAutoConfigUrl, ie.lpszProxy, ie.lpszProxyBypass})
            if (text)
                GlobalFree(text);
    }
    RegCloseKey(connections);
    RegCloseKey(settings);
}
