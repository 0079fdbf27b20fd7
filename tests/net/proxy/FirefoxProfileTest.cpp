// Firefox's proxy preferences from a profile tree the tests write (profiles.ini, user.js,
// prefs.js) in a folder that stands in for the application-data folder, and the choice of the
// browser from the "http" class's open command.
#include <gtest/gtest.h>

#include <objbase.h>

#include <string>

#include "ProxyTestSupport.h"
#include "services/session/LogCapture.h"

using proxy_test::ConnectionSettings;
using proxy_test::kConnections;
using proxy_test::kInternetSettings;
using proxy_test::TempFolder;
using proxy_test::TestRoot;
using Tolk::BrowserProxy;
using Tolk::CInstallEngineWinHTTPClient;

namespace {

constexpr const wchar_t* kFirefox = L"Mozilla\\Firefox\\";

// A user whose Internet Settings name a manual proxy "ie.test:8080".
void WriteInternetSettings(TestRoot& user)
{
    user.SetBinary(kConnections, L"DefaultConnectionSettings", ConnectionSettings(0x03));
    user.SetString(kInternetSettings, L"ProxyServer", L"ie.test:8080");
}

struct Machine {
    TempFolder appData{L"vek appdata "};
    TestRoot user{HKEY_CURRENT_USER, L"FFUser"};
    TestRoot classes{HKEY_CURRENT_USER, L"FFClasses"};
    CInstallEngineWinHTTPClient Client()
    {
        CInstallEngineWinHTTPClient::Roots roots;
        roots.currentUser = user.Key();
        roots.classesRoot = classes.Key();
        roots.appData = appData.Path();
        return CInstallEngineWinHTTPClient(roots);
    }
    // One default profile "Profiles\main.default" with the given prefs.js (and user.js).
    std::wstring Profile(const std::string& prefs, const std::string* user = nullptr)
    {
        appData.Write(std::wstring(kFirefox) + L"profiles.ini",
                      "[General]\r\nStartWithLastProfile=1\r\n\r\n[Profile0]\r\nName=default\r\nIsRelative=1\r\n"
                      "Path=Profiles/main.default\r\nDefault=1\r\n");
        const std::wstring folder = std::wstring(kFirefox) + L"Profiles\\main.default\\";
        appData.Write(folder + L"prefs.js", prefs);
        if (user)
            appData.Write(folder + L"user.js", *user);
        return appData.Path() + folder;
    }
};

std::string Pref(const std::string& name, const std::string& value)
{
    return "user_pref(\"network.proxy." + name + "\", " + value + ");\r\n";
}

} // namespace

TEST(FirefoxProfileTest, DefaultProfileFolder)
{
    struct Case {
        const char* what;
        std::string ini;                   // empty: no profiles.ini
        std::vector<std::wstring> folders; // made below the Firefox folder
        HRESULT result;
        std::wstring expected; // below the Firefox folder, or absolute when it starts with "*"
        const wchar_t* logged;
    } cases[] = {
        {"no profiles.ini", "", {}, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), L"", L"ini file not found"},
        {"no profile section",
         "[General]\r\nStartWithLastProfile=1\r\n",
         {},
         HRESULT_FROM_WIN32(ERROR_NOT_FOUND),
         L"",
         L"FF ini file appears corrupted"},
        {"the default among several",
         "[General]\r\n[Profile0]\r\nName=first\r\nIsRelative=1\r\nPath=Profiles/first.one\r\n"
         "[Profile1]\r\nName=second\r\nIsRelative=1\r\nPath=Profiles/second.one\r\nDefault=1\r\n"
         "[Profile2]\r\nName=third\r\nIsRelative=1\r\nPath=Profiles/third.one\r\n"
         "[Install4F96D1932A9F858E]\r\nDefault=Profiles/first.one\r\nLocked=1\r\n",
         {L"Profiles\\first.one", L"Profiles\\second.one", L"Profiles\\third.one"},
         S_OK,
         L"Profiles\\second.one\\",
         L"found default profile"},
        {"a default without its folder: the last profile read",
         "[General]\r\n[Profile0]\r\nIsRelative=1\r\nPath=Profiles/gone\r\nDefault=1\r\n"
         "[Profile1]\r\nIsRelative=1\r\nPath=Profiles/kept\r\n"
         "[Install4F96D1932A9F858E]\r\nDefault=Profiles/gone\r\n",
         {L"Profiles\\kept"},
         S_OK,
         L"Profiles\\kept\\",
         L"Default profile not found, using most recently created"},
        {"an absolute path",
         "[Profile0]\r\nIsRelative=0\r\nPath=*\r\nDefault=1\r\n",
         {L"elsewhere"},
         S_OK,
         L"*",
         nullptr},
    };
    for (Case& c : cases) {
        Machine m;
        const std::wstring firefox = m.appData.Path() + kFirefox;
        // "*" stands for an absolute folder of the test.
        const std::wstring absolute = firefox + L"elsewhere\\";
        const std::size_t star = c.ini.find('*');
        if (star != std::string::npos)
            c.ini.replace(star, 1, proxy_test::Narrow(absolute));
        if (!c.ini.empty())
            m.appData.Write(std::wstring(kFirefox) + L"profiles.ini", c.ini);
        for (const std::wstring& f : c.folders)
            m.appData.MakeFolder(kFirefox + f);

        vek::test::LogCapture log;
        std::wstring folder;
        EXPECT_EQ(m.Client().GetFFProfilesFolder(folder), c.result) << c.what;
        if (SUCCEEDED(c.result)) {
            EXPECT_EQ(folder, c.expected == L"*" ? absolute : firefox + c.expected) << c.what;
        }
        if (c.logged) {
            EXPECT_TRUE(log.Contains(c.logged)) << c.what << "\n" << proxy_test::Narrow(log.All());
        }
    }
}

TEST(FirefoxProfileTest, PreferenceFiles)
{
    struct Case {
        const char* what;
        std::string prefs;
        bool result;
        bool useProxy;
        std::wstring server;
        std::uint32_t port;
        bool autoDetect = false;
        std::wstring autoConfig = L"";
    } cases[] = {
        {"manual", Pref("type", "1") + Pref("http", "\"proxy.test\"") + Pref("http_port", "3128"), true, true,
         L"proxy.test", 3128},
        {"manual, line feeds only",
         "user_pref(\"network.proxy.type\", 1);\nuser_pref(\"network.proxy.http\", \"lf.test\");\n"
         "user_pref(\"network.proxy.http_port\", 81);\n",
         true, true, L"lf.test", 81},
        {"manual without port", Pref("type", "1") + Pref("http", "\"proxy.test\""), true, true, L"proxy.test", 0},
        {"manual without server", Pref("type", "1") + Pref("http_port", "3128"), true, false, L"", 0},
        {"direct", Pref("type", "0") + Pref("http", "\"proxy.test\"") + Pref("http_port", "3128"), true, false, L"", 0},
        {"auto-configuration", Pref("type", "2") + Pref("autoconfig_url", "\"http://wpad.test/p.pac\""), true, true,
         L"", 0, false, L"http://wpad.test/p.pac"},
        {"file auto-configuration ignored", Pref("type", "2") + Pref("autoconfig_url", "\"file:///C:/p.pac\""), true,
         false, L"", 0},
        {"auto-configuration without address", Pref("type", "2"), false, false, L"", 0},
        {"auto-detect", Pref("type", "4"), true, true, L"", 0, true},
        {"unknown type", Pref("type", "7"), false, false, L"", 0},
        {"system (type 5)", Pref("type", "5") + Pref("http", "\"ff.test\""), true, true, L"ie.test", 8080},
        {"no proxy preferences: system", "user_pref(\"browser.startup.page\", 3);\r\n", true, true, L"ie.test", 8080},
        {"other preferences kept apart",
         "user_pref(\"browser.x\", \"http://network.proxy.test/\");\r\n" + Pref("type", "4"), true, true, L"", 0, true},
        // A broken line is left out whole; the lines around it still count.
        {"unterminated line skipped",
         Pref("type", "1") + "user_pref(\"network.proxy.http\", \"half.test\"\r\n" + Pref("http_port", "3128"), true,
         false, L"", 0},
        {"malformed port skipped", Pref("type", "1") + Pref("http", "\"proxy.test\"") + Pref("http_port", "31x28"),
         true, true, L"proxy.test", 0},
        {"malformed type skipped: system", Pref("type", "1; drop") + Pref("http", "\"proxy.test\""), true, true,
         L"ie.test", 8080},
        {"later line wins", Pref("type", "1") + Pref("http", "\"old.test\"") + Pref("http", "\"new.test\""), true, true,
         L"new.test", 0},
    };
    for (const Case& c : cases) {
        Machine m;
        WriteInternetSettings(m.user);
        m.appData.Write(L"prefs.js", c.prefs);
        BrowserProxy proxy;
        proxy.server = L"stale";
        EXPECT_EQ(m.Client().GetFFSettingsfromFile(m.appData.Path() + L"prefs.js", proxy), c.result) << c.what;
        EXPECT_EQ(proxy.useProxy, c.useProxy) << c.what;
        EXPECT_EQ(proxy.server, c.server) << c.what;
        EXPECT_EQ(proxy.port, c.port) << c.what;
        EXPECT_EQ(proxy.autoDetect, c.autoDetect) << c.what;
        EXPECT_EQ(proxy.autoConfigUrl, c.autoConfig) << c.what;
    }

    Machine m;
    BrowserProxy proxy;
    EXPECT_TRUE(m.Client().GetFFSettingsfromFile(m.appData.Path() + L"missing.js", proxy));
    EXPECT_FALSE(proxy.useProxy);
}

TEST(FirefoxProfileTest, UserFileBeforePreferences)
{
    const std::string prefs = Pref("type", "1") + Pref("http", "\"prefs.test\"") + Pref("http_port", "1");
    struct Case {
        const char* what;
        std::string user; // empty: no user.js
        HRESULT result;
        std::wstring server;
    } cases[] = {
        {"no user.js", "", S_OK, L"prefs.test"},
        {"user.js overrides", Pref("type", "1") + Pref("http", "\"user.test\"") + Pref("http_port", "2"), S_OK,
         L"user.test"},
        {"user.js without proxy preferences", "user_pref(\"browser.x\", 1);\r\n", S_OK, L"prefs.test"},
        {"user.js that cannot be read", Pref("type", "9"), E_FAIL, L""},
    };
    for (const Case& c : cases) {
        Machine m;
        m.Profile(prefs, c.user.empty() ? nullptr : &c.user);
        BrowserProxy proxy;
        EXPECT_EQ(m.Client().GetProxyFromFirefox(proxy), c.result) << c.what;
        EXPECT_EQ(proxy.server, c.server) << c.what;
    }
}

TEST(FirefoxProfileTest, BrowserFromTheHttpOpenCommand)
{
    constexpr const wchar_t* kCommand = L"http\\shell\\open\\command";
    struct Case {
        const char* what;
        const wchar_t* command; // null: no command key
        bool profile;
        HRESULT result;
        std::wstring server;
    } cases[] = {
        {"Firefox", L"\"C:\\Program Files\\Mozilla Firefox\\firefox.exe\" -osint -url \"%1\"", true, S_OK, L"ff.test"},
        {"Firefox without a profile: Internet Settings", L"C:\\Apps\\FireFox.exe \"%1\"", false, S_OK, L"ie.test"},
        {"another browser: Internet Settings", L"\"C:\\Program Files\\Internet Explorer\\iexplore.exe\" %1", true, S_OK,
         L"ie.test"},
        {"no command key", nullptr, true, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), L""},
    };
    for (const Case& c : cases) {
        Machine m;
        WriteInternetSettings(m.user);
        if (c.profile)
            m.Profile(Pref("type", "1") + Pref("http", "\"ff.test\"") + Pref("http_port", "3"));
        if (c.command)
            m.classes.SetString(kCommand, L"", c.command);
        BrowserProxy proxy;
        EXPECT_EQ(m.Client().GetProxyFromBrowser(proxy, true), c.result) << c.what;
        EXPECT_EQ(proxy.server, c.server) << c.what;
    }

    Machine m;
    m.classes.SetString(kCommand, L"Marker", L""); // the key without its default value
    BrowserProxy proxy;
    vek::test::LogCapture log;
    EXPECT_TRUE(FAILED(m.Client().GetProxyFromBrowser(proxy, true)));
    EXPECT_TRUE(log.Contains(L"couldn't find default browser"));
}

namespace {
class ShellClient : public CInstallEngineWinHTTPClient {
public:
    using CInstallEngineWinHTTPClient::QueryDefaultBrowser;
};
} // namespace

// The shell's answer for the user's "http" choice (Windows Vista and later).
TEST(FirefoxProfileTest, DefaultBrowserFromTheShell)
{
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    constexpr const wchar_t* kChoice =
        L"Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\http\\UserChoice";
    HKEY key = nullptr;
    const bool existed = RegOpenKeyExW(HKEY_CURRENT_USER, kChoice, 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (key)
        RegCloseKey(key);
    if (!existed) {
        RegSetKeyValueW(HKEY_CURRENT_USER, kChoice, L"ProgId", REG_SZ, L"FirefoxURL-308046B0AF4A39CB",
                        sizeof(L"FirefoxURL-308046B0AF4A39CB"));
    }
    ShellClient client;
    std::wstring progId;
    const HRESULT hr = client.QueryDefaultBrowser(progId);
    if (!existed)
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\http");
    CoUninitialize();
    EXPECT_EQ(hr, S_OK);
    if (!existed) {
        EXPECT_EQ(progId, L"FirefoxURL-308046B0AF4A39CB");
    }
}
