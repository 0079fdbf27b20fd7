#pragma once
// Shared pieces of the bootstrap, clean-up and shortcut tests: a scratch tree per test (run
// location, temporary folder, data folder, desktop and programs folders), a manifest of its own
// (its id names the registry key and the Run value, so tests never meet), the signed launcher
// stand-in, and a system object whose rights and trust answers a test sets.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <cstdlib>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/jobengine/VekBootstrapSystem.h"
#include "engine/jobengine/VekJobEngine.h"
#include "engine/manifest/ManifestDocument.h"
#include "engine/manifest/VekShellFolders.h"
#include "services/launcher/VekUtil.h"
#include "services/session/LogCapture.h"
#include "services/trust/TrustTestSupport.h"

namespace boot_test {

using json = nlohmann::json;

inline std::wstring WindowsPath(const std::string& unix)
{
    std::wstring path = L"Z:";
    for (char c : unix)
        path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(c));
    return path;
}

// A signed (or unsigned, tampered) copy of the launcher stand-in.
inline std::wstring Launcher(const wchar_t* signer)
{
    const char* build = std::getenv("VEK_BUILD_DIR");
    return WindowsPath(std::string(build ? build : "") + "/signing/bootstrap") + L"\\" + signer +
           L"\\session_recorder.exe";
}

inline bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline void RemoveTree(const std::wstring& path)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring child = path + L"\\" + name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                RemoveTree(child);
            else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveDirectoryW(child.c_str());
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

inline void WriteFile(const std::wstring& path, const char* text = "data")
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot write " << vek::ToUtf8(path);
    DWORD written = 0;
    ::WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    CloseHandle(file);
}

// The Win32 error of opening the file for writing, 0 when it could be.
inline DWORD OpenForWriting(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError();
    CloseHandle(h);
    return 0;
}

// Desktop and programs folders inside the scratch tree; a lookup may be made to fail.
class ScratchShellFolders : public vek::IShellFolders {
public:
    explicit ScratchShellFolders(std::wstring root) : m_root(std::move(root)) {}
    bool IsVistaOrLater() override { return true; }
    HRESULT GetKnownFolderPath(REFKNOWNFOLDERID, DWORD, std::wstring& path) override
    {
        path = m_root + L"\\known";
        CreateDirectoryW(path.c_str(), nullptr);
        return S_OK;
    }
    HRESULT GetFolderPath(int csidl, std::wstring& path) override
    {
        if (FAILED(failure))
            return failure;
        path = m_root + (csidl == CSIDL_DESKTOP ? L"\\desktop" : csidl == CSIDL_PROGRAMS ? L"\\programs" : L"\\other");
        CreateDirectoryW(path.c_str(), nullptr);
        return S_OK;
    }
    HRESULT failure = S_OK;

private:
    std::wstring m_root;
};

// The system's answers where a test sets them; verification, holding and starting are real.
class TestSystem : public vek::VekBootstrapSystem {
public:
    HRESULT TempFolder(std::wstring& folder) override
    {
        folder = temp;
        return S_OK;
    }
    bool IsAdministrator() override { return admin; }
    bool IsElevated() override { return elevated; }
    bool IsUACEnabled() override { return uac; }
    bool IsVistaOrLater() override { return true; }
    bool IsWindowsXP() override { return false; }
    BOOL RepairTrustSystem() override
    {
        ++repairs;
        return repairSucceeds;
    }
    HRESULT VerifyAndHold(const std::wstring& path) override
    {
        ++verifications;
        const HRESULT hr = VekBootstrapSystem::VerifyAndHold(path);
        if (trustSystemFailures > 0) {
            --trustSystemFailures;
            return TRUST_E_SYSTEM_ERROR;
        }
        return hr;
    }
    HRESULT LaunchHeld(const std::wstring& path, const std::wstring& commandLine) override
    {
        launchedPath = path;
        launchedCommand = commandLine;
        heldAtLaunch = OpenForWriting(path) == ERROR_SHARING_VIOLATION;
        if (FAILED(launchFailure))
            return launchFailure;
        HRESULT hr = S_OK;
        // Wine under load now and then fails a start before the program runs.
        for (int attempt = 0; attempt < 5; ++attempt) {
            hr = VekBootstrapSystem::LaunchHeld(path, commandLine);
            if (hr != HRESULT_FROM_WIN32(ERROR_INTERNAL_ERROR))
                break;
        }
        if (SUCCEEDED(hr)) {
            HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, LaunchedProcessId());
            if (process != nullptr) {
                WaitForSingleObject(process, 60000);
                CloseHandle(process);
            }
        }
        return hr;
    }

    std::wstring temp;
    bool admin = true;
    bool elevated = true; // as Wine's processes always are
    bool uac = true;
    bool repairSucceeds = true;
    int trustSystemFailures = 0;
    int repairs = 0;
    int verifications = 0;
    HRESULT launchFailure = S_OK;
    std::wstring launchedPath;
    std::wstring launchedCommand;
    bool heldAtLaunch = false;
};

// The engine with the state setter open to tests.
class TestEngine : public vek::VekJobEngine {
public:
    using VekJobEngine::VekJobEngine;
    using VekJobEngine::setEngineState;
};

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        static int counter = 0;
        const std::wstring unique = std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        m_root = std::wstring(temp) + L"vek-boot-" + unique;
        CreateDirectoryW(m_root.c_str(), nullptr);
        m_manifestId = L"{B0075EED-" + unique + L"}";
        m_runLocation = m_root + L"\\run dir";
        m_temp = m_root + L"\\temp\\";
        CreateDirectoryW(m_temp.c_str(), nullptr);
        m_data = m_root + L"\\data";
        CreateDirectoryW(m_data.c_str(), nullptr);
        m_folders = std::make_shared<ScratchShellFolders>(m_root);
        m_system = std::make_shared<TestSystem>();
        m_system->temp = m_temp;
        m_names = std::make_unique<trust_test::ScopedSignerNames>();
    }
    void TearDown() override
    {
        m_engine.reset();
        m_system.reset();
        const std::wstring key = L"Software\\Vallor\\Vek\\" + m_manifestId;
        RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
        HKEY run = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0, KEY_ALL_ACCESS,
                          &run) == ERROR_SUCCESS) {
            RegDeleteValueW(run, RunValueName().c_str());
            RegCloseKey(run);
        }
        RemoveTree(m_root);
        m_names.reset();
        CoUninitialize();
    }

    // A manifest with one install job of one file; options and extra members by the test.
    json Manifest(const json& options = json::object()) const
    {
        json root;
        root["vek"]["global"]["manifest_id"] = vek::ToUtf8(m_manifestId);
        root["vek"]["global"]["DESKTOP_SHORTCUT_HIDE"] = 0;
        root["vek"]["global"]["STARTMENU_SHORTCUT_HIDE"] = 0;
        root["vek"]["bootstrap"]["run_location"] = vek::ToUtf8(m_runLocation);
        root["vek"]["bootstrap"]["installed_vek"] = "VekCopy.exe";
        root["vek"]["bootstrap"]["options"] = options;
        root["vek"]["bootstrap"]["shortcuts"] = json::array(
            {{{"shortcut_type", "desktop"},
              {"path", "Vek Test"},
              {"executable", {{"name", "Launcher.lnk"}, {"description", "the launcher"}}},
              {"folder", {{"name", "Files.lnk"}, {"description", "the files"}}}}});
        json job;
        job["job_id"] = "{J0B}";
        job["job_type"] = "install";
        job["file_array"] = json::array({{{"source_file", "https://localhost/payload.bin"},
                                          {"destination_file", "payload.bin"},
                                          {"priority", 1}}});
        root["vek"]["job_array"] = json::array({job});
        return root;
    }

    // The engine over a manifest, running as launcher with the command line's switches.
    TestEngine& Engine(const json& manifest, const std::wstring& launcher, const std::wstring& switches = L"")
    {
        m_document = std::make_shared<vek::ManifestDocument>();
        EXPECT_EQ(m_document->Adopt(manifest), S_OK);
        m_engine = std::make_unique<TestEngine>(nullptr, m_document, launcher);
        m_engine->setCommandLine(L"\"" + launcher + L"\" " + switches);
        m_engine->setDataFolder(m_data);
        m_engine->setShellFolders(m_folders);
        m_engine->setBootstrapSystem(m_system);
        return *m_engine;
    }

    std::wstring InstallFolder() const { return m_runLocation + L"\\" + m_manifestId; }
    std::wstring RunValueName() const { return L"Vallor Download Manager" + m_manifestId; }
    // The Run value's data; empty when absent.
    std::wstring RunValue() const
    {
        wchar_t data[2048] = {};
        DWORD size = sizeof(data);
        if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                         RunValueName().c_str(), RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS)
            return {};
        return data;
    }
    std::wstring Desktop(const std::wstring& name) const { return m_root + L"\\desktop\\Vek Test\\" + name; }
    std::wstring Programs(const std::wstring& name) const { return m_root + L"\\programs\\Vek Test\\" + name; }
    // The text the recorder wrote beside itself when it was started.
    static std::wstring Recorded(const std::wstring& folder)
    {
        HANDLE file = CreateFileW((folder + L"\\recorded.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return {};
        wchar_t buffer[2048] = {};
        DWORD read = 0;
        ReadFile(file, buffer, sizeof(buffer) - sizeof(wchar_t), &read, nullptr);
        CloseHandle(file);
        std::wstring text(buffer);
        return text.substr(0, text.find(L'\n'));
    }

    std::wstring m_root, m_manifestId, m_runLocation, m_temp, m_data;
    std::shared_ptr<ScratchShellFolders> m_folders;
    std::shared_ptr<TestSystem> m_system;
    std::shared_ptr<vek::ManifestDocument> m_document;
    std::unique_ptr<TestEngine> m_engine;
    std::unique_ptr<trust_test::ScopedSignerNames> m_names;
};

} // namespace boot_test
