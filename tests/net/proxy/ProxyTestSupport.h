#pragma once
// Registry keys and folders of one test: a key below HKCU\Software\VekTests (or the same below
// HKLM) that stands in for a registry root, and a temporary folder that stands in for the
// user's application-data folder. Both are removed when the holder goes.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "net/proxy/Tolk_CInstallEngineWinHTTPClient.h"

namespace proxy_test {

class TestRoot {
public:
    // hive: HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE.
    TestRoot(HKEY hive, const wchar_t* name);
    ~TestRoot();
    TestRoot(const TestRoot&) = delete;
    TestRoot& operator=(const TestRoot&) = delete;

    HKEY Key() const { return m_key; }
    void SetString(const std::wstring& path, const wchar_t* name, const std::wstring& value);
    void SetDword(const std::wstring& path, const wchar_t* name, DWORD value);
    void SetBinary(const std::wstring& path, const wchar_t* name, const std::vector<BYTE>& value);
    void DeleteTree(const std::wstring& path);

private:
    HKEY m_hive;
    std::wstring m_path;
    HKEY m_key = nullptr;
};

class TempFolder {
public:
    explicit TempFolder(const wchar_t* name);
    ~TempFolder();
    const std::wstring& Path() const { return m_path; } // with a trailing backslash
    // Writes the bytes to a file below the folder, making the folders on the way.
    void Write(const std::wstring& relative, const std::string& bytes);
    void MakeFolder(const std::wstring& relative);

private:
    std::wstring m_path;
};

constexpr const wchar_t* kInternetSettings = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr const wchar_t* kConnections = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

// A "DefaultConnectionSettings" value: version, change counter, flags, then the proxy, bypass
// and auto-configuration texts, each after its length.
std::vector<BYTE> ConnectionSettings(DWORD flags, const std::string& proxy = "", const std::string& bypass = "",
                                     const std::string& autoConfig = "");

std::string Narrow(const std::wstring& text);

} // namespace proxy_test
