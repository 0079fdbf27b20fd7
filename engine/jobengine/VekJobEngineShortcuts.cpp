// The ways the launcher comes back by itself and makes its files easy to find: the Run value that
// starts the launcher copy at logon, the start-up task, and shell shortcuts on the desktop and in
// the Start menu to the launcher copy and to the install folder. Clean-up removes them again.
#include "engine/jobengine/VekJobEngine.h"

#include "common/errors/qkLog.h"
#include "common/system/qkCommandLine.h"
#include "common/objects/qkComAdopt.h"
#include "engine/launcher/VekSwitches.h"
#include "engine/manifest/ManifestAccess.h"
#include "engine/manifest/ManifestDocument.h"
#include "engine/manifest/ManifestJson.h"
#include "engine/manifest/VekShellFolders.h"
#include "engine/state/VekRegistryState.h"
#include "net/proxy/ManifestProductKind.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekUtil.h"
#include "services/tasks/CTaskScheduler.h"
#include "services/toolbox/Tolk_CRegistry.h"
#include "services/launcher/VekTokenMask.h"
#include "services/launcher/VekJobKeys.h"

#include <shlobj.h>
#include <wrl/client.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace vek {

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using Microsoft::WRL::ComPtr;

// One entry of "vek"."bootstrap"."shortcuts", read once.
struct ShortcutEntry {
    std::wstring type;
    std::wstring path;
    bool hasPath = false;
    bool hasExecutable = false;
    std::wstring executableName, executableDescription;
    bool hasFolder = false;
    std::wstring folderName, folderDescription;
};

// Null when the manifest names no shortcuts at all.
std::unique_ptr<std::vector<ShortcutEntry>> ReadShortcuts(const json& root)
{
    const json* shortcuts = ManifestJson::Path(&root, {"vek", "bootstrap", "shortcuts"});
    if (shortcuts == nullptr)
        return nullptr;
    auto entries = std::make_unique<std::vector<ShortcutEntry>>();
    if (!shortcuts->is_array())
        return entries;
    for (const json& node : *shortcuts) {
        ShortcutEntry entry;
        entry.type = ManifestJson::WideText(ManifestJson::Member(&node, "shortcut_type"), "shortcut_type");
        const json* path = ManifestJson::Member(&node, "path");
        entry.hasPath = path != nullptr;
        entry.path = ManifestJson::WideText(path, "path");
        if (const json* executable = ManifestJson::Member(&node, "executable")) {
            entry.hasExecutable = true;
            entry.executableName = ManifestJson::WideText(ManifestJson::Member(executable, "name"), "executable.name");
            entry.executableDescription =
                ManifestJson::WideText(ManifestJson::Member(executable, "description"), "executable.description");
        }
        if (const json* folder = ManifestJson::Member(&node, "folder")) {
            entry.hasFolder = true;
            entry.folderName = ManifestJson::WideText(ManifestJson::Member(folder, "name"), "folder.name");
            entry.folderDescription =
                ManifestJson::WideText(ManifestJson::Member(folder, "description"), "folder.description");
        }
        entries->push_back(std::move(entry));
    }
    return entries;
}

// The run task leaves out the user-session switch for the endpoint product; this test takes its
// run key without regard to case.
bool LeavesOutUserSession(const json& root)
{
    return ::_wcsicmp(ManifestRunKey(root).c_str(), L"QOR") == 0;
}

std::wstring SystemMessage(const std::error_code& error)
{
    const std::string text = error.message();
    return std::wstring(text.begin(), text.end());
}

// Deletes one link file; false with the error when it existed and stayed.
bool DeleteLink(const std::wstring& path, DWORD& error)
{
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return true;
    if (::DeleteFileW(path.c_str()))
        return true;
    error = ::GetLastError();
    return false;
}

} // namespace

void VekJobEngine::createRunKeys(const std::wstring& launcherPath)
{
    const HKEY root = m_manifest->Read([](const json& document) { return GetRegistryContext(document); });
    Tolk::CRegistry rkRun;
    if (!rkRun.Create(root)) {
        QK_LOG_ERROR(L"rkRun.Create() failed, hr=0x%08X",
                     static_cast<unsigned>(HRESULT_FROM_WIN32(rkRun.GetLastError())));
        m_manifest->SetLastError(VEK_E_RUN_VALUE_OPEN);
        return;
    }
    const std::wstring name =
        std::wstring(VekRegistryState::kRunValuePrefix) +
        m_manifest->Read([](const json& document) { return ManifestAccess::ManifestId(document); });
    // The path is quoted: unquoted, a path with blanks may start another program.
    std::wstring data = L"\"" + launcherPath + L"\" /" + switches::MINIMIZED;
    qkCommandLine commandLine;
    commandLine.Parse(m_commandLine.c_str());
    AppendForwardedSwitches(commandLine, data, nullptr);
    if (!rkRun.SetStringValue(name.c_str(), data)) {
        QK_LOG_ERROR(L"rkRun.SetString() failed, hr=0x%08X",
                     static_cast<unsigned>(HRESULT_FROM_WIN32(rkRun.GetLastError())));
        m_manifest->SetLastError(VEK_E_RUN_VALUE_WRITE);
        return;
    }
    const LONG flushed = ::RegFlushKey(rkRun.GetKey());
    if (flushed != ERROR_SUCCESS)
        QK_LOG_ERROR(L"RegFlushKey failed, hr=0x%08X", static_cast<unsigned>(HRESULT_FROM_WIN32(flushed)));
}

void VekJobEngine::createRunTask(const std::wstring& extraArguments)
{
    const bool leaveOut = m_manifest->Read([](const json& document) { return LeavesOutUserSession(document); });
    std::wstring arguments;
    qkCommandLine commandLine;
    commandLine.Parse(m_commandLine.c_str());
    AppendForwardedSwitches(commandLine, arguments, leaveOut ? switches::IGNORE_USER_SESSION : nullptr);
    const std::wstring minimized = std::wstring(L"/") + switches::MINIMIZED;
    if (arguments.find(minimized) == std::wstring::npos)
        arguments = minimized + arguments;
    if (!extraArguments.empty() && arguments.find(extraArguments) == std::wstring::npos)
        arguments += L" " + extraArguments;

    // The task runs a copy of the launcher that bootstrap placed (or the running one).
    std::wstring launcher = GetInstalledBinaryPath();
    if (launcher.empty())
        launcher = m_currentPath;
    QK_LOG_INFO(L"Registering the run task for %s with %s", launcher.c_str(), MaskCommandLineToken(arguments).c_str());
    CTaskScheduler scheduler;
    // The task runs with full rights: its copy of the launcher is verified as the bootstrap
    // verifies its own, unless the manifest runs the launcher unverified.
    scheduler.RequireTrustedCopy(m_manifest->Read([](const json& root) { return ManifestAccess::Install(root); }));
    std::wstring copyPath;
    const HRESULT hr = scheduler.RegisterStartupTask(launcher.c_str(), arguments.c_str(), copyPath);
    if (FAILED(hr))
        QK_LOG_ERROR(L"RegisterStartupTask() failed, hr=0x%08X", static_cast<unsigned>(hr));
    m_manifest->ModifyJob(0, [&](json* job) {
        if (job != nullptr)
            (*job)[jobkeys::kScheduledVekPath] = ToUtf8(copyPath);
    });
}

void VekJobEngine::deleteRunTask()
{
    CTaskScheduler scheduler;
    scheduler.DeleteTask(CTaskScheduler::kLauncherTask);
}

bool VekJobEngine::hasGlobalFlag(const char* key) const
{
    return m_manifest->Read([key](const json& root) {
        const json* value = ManifestJson::Path(&root, {"vek", "global", key});
        if (value == nullptr)
            return false;
        return !(value->is_number_integer() && value->get<long long>() == 1);
    });
}

IShellLinkW* VekJobEngine::createShellLink(const std::wstring& target)
{
    ComPtr<IShellLinkW> link;
    HRESULT hr = ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_ALL, IID_IShellLinkW,
                                    reinterpret_cast<void**>(link.GetAddressOf()));
    if (SUCCEEDED(hr))
        hr = link->SetPath(target.c_str());
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Failed to get the IShellLink interface. hr=0x%08X", static_cast<unsigned>(hr));
        return nullptr;
    }
    return link.Detach();
}

HRESULT VekJobEngine::createShortcut(IPersistFile* link, int csidl, const std::wstring& subFolder,
                                     const std::wstring& fileName)
{
    if (link == nullptr) {
        QK_LOG_ERROR(L"Failed to get the IPersistFile interface");
        return E_NOINTERFACE;
    }
    std::shared_ptr<IShellFolders> folders = m_shellFolders ? m_shellFolders : std::make_shared<CShellFolders>();
    std::wstring shellFolder;
    const HRESULT found = folders->GetFolderPath(csidl, shellFolder);
    if (found == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
        QK_LOG_INFO(L"Unable to obtain desktop folder, skip shortcut creation, hr=0x%08X", static_cast<unsigned>(found));
        return S_OK;
    }
    if (FAILED(found)) {
        QK_LOG_ERROR(L"SHGetFolderPath() failed to get CSIDL_DESKTOP, hr=0x%08X", static_cast<unsigned>(found));
        throw JobEngineException(VEK_E_SHORTCUT_DESKTOP);
    }
    const fs::path folder = fs::path(shellFolder) / subFolder;
    std::error_code error;
    if (!fs::exists(folder, error)) {
        fs::create_directories(folder, error);
        if (error) {
            QK_LOG_ERROR(L"Unable to create directory for shortcut %s, error: %s", folder.wstring().c_str(),
                         SystemMessage(error).c_str());
            return S_OK;
        }
    }
    const std::wstring file = (folder / fileName).wstring();
    const HRESULT saved = link->Save(file.c_str(), TRUE);
    if (FAILED(saved))
        QK_LOG_ERROR(L"persistFile->Save() failed to save %s, hr=0x%08X", file.c_str(), static_cast<unsigned>(saved));
    return saved;
}

void VekJobEngine::createShortcuts(const std::wstring& installFolder, const std::wstring& launcherPath)
{
    ComPtr<IShellLinkW> launcherLink;
    qkLib::Adopt(launcherLink, createShellLink(launcherPath));
    ComPtr<IShellLinkW> folderLink;
    qkLib::Adopt(folderLink, createShellLink(installFolder));
    if (!launcherLink && !folderLink) {
        QK_LOG_ERROR(L"Unable to create shortcuts.");
        return;
    }
    const bool desktop = hasGlobalFlag("DESKTOP_SHORTCUT_HIDE");
    const bool startMenu = hasGlobalFlag("STARTMENU_SHORTCUT_HIDE");
    const auto entries = m_manifest->Read([](const json& root) { return ReadShortcuts(root); });
    if (!entries)
        return;

    // One link object per target serves every entry: a Start-menu link keeps the description
    // that an earlier desktop entry gave it.
    auto save = [this](IShellLinkW* link, int csidl, const std::wstring& path, const std::wstring& name) {
        ComPtr<IPersistFile> persist;
        if (link != nullptr)
            link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(persist.GetAddressOf()));
        createShortcut(persist.Get(), csidl, path, name);
    };
    try {
        for (const ShortcutEntry& entry : *entries) {
            if (desktop && entry.type == L"desktop") {
                if (!entry.hasPath)
                    continue;
                if (entry.hasExecutable) {
                    if (launcherLink)
                        launcherLink->SetDescription(entry.executableDescription.c_str());
                    save(launcherLink.Get(), CSIDL_DESKTOP, entry.path, entry.executableName);
                }
                if (entry.hasFolder) {
                    if (folderLink)
                        folderLink->SetDescription(entry.folderDescription.c_str());
                    save(folderLink.Get(), CSIDL_DESKTOP, entry.path, entry.folderName);
                }
            } else if (startMenu && entry.type == L"start_menu") {
                if (!entry.hasPath)
                    continue;
                if (entry.hasExecutable)
                    save(launcherLink.Get(), CSIDL_PROGRAMS, entry.path, entry.executableName);
                if (entry.hasFolder)
                    save(folderLink.Get(), CSIDL_PROGRAMS, entry.path, entry.folderName);
            }
        }
    } catch (const fs::filesystem_error& e) {
        const std::string what = e.what();
        QK_LOG_ERROR(L"Caught filesystem_error exception %s, hr=0x%08X", std::wstring(what.begin(), what.end()).c_str(),
                     static_cast<unsigned>(VEK_E_FILE_SYSTEM));
        QK_LOG_ERROR(L"Error creating shortcuts, hr=0x%08X", static_cast<unsigned>(VEK_E_FILE_SYSTEM));
    }
}

void VekJobEngine::deleteShortcuts(unsigned flags)
{
    const auto entries = m_manifest->Read([](const json& root) { return ReadShortcuts(root); });
    if (!entries)
        return;
    std::error_code error;
    const bool filesPresent = fs::exists(fs::path(buildDownloadFolder()), error);
    std::shared_ptr<IShellFolders> folders = m_shellFolders ? m_shellFolders : std::make_shared<CShellFolders>();
    try {
        for (const ShortcutEntry& entry : *entries) {
            // An entry without a sub-folder made no shortcut: nothing of it to delete (its empty
            // sub-folder would otherwise be the shell folder itself).
            if (!entry.hasPath || entry.path.empty())
                continue;
            const bool isDesktop = entry.type == L"desktop";
            std::wstring shellFolder;
            const HRESULT found = folders->GetFolderPath(isDesktop ? CSIDL_DESKTOP : CSIDL_PROGRAMS, shellFolder);
            if (FAILED(found)) {
                if (isDesktop) {
                    QK_LOG_ERROR(L"SHGetFolderPath() failed to get CSIDL_DESKTOP, hr=0x%08X", static_cast<unsigned>(found));
                    throw JobEngineException(VEK_E_SHORTCUT_DESKTOP);
                }
                QK_LOG_ERROR(L"SHGetFolderPath() failed to get CSIDL_PROGRAMS, hr=0x%08X", static_cast<unsigned>(found));
                throw JobEngineException(VEK_E_SHORTCUT_PROGRAMS);
            }
            const fs::path folder = fs::path(shellFolder) / entry.path;
            DWORD failure = 0;
            if (entry.hasExecutable && !entry.executableName.empty()) {
                const std::wstring link = (folder / entry.executableName).wstring();
                if (!DeleteLink(link, failure))
                    QK_LOG_ERROR(L"DeleteFile() failed to delete %s, hr=0x%08X", link.c_str(),
                                 static_cast<unsigned>(HRESULT_FROM_WIN32(failure)));
            }
            if (filesPresent && !(flags & eCleanDownloads))
                continue;
            if (entry.hasFolder && !entry.folderName.empty()) {
                const std::wstring link = (folder / entry.folderName).wstring();
                if (!DeleteLink(link, failure))
                    QK_LOG_ERROR(L"DeleteFile() failed to delete %s, hr=0x%08X", link.c_str(),
                                 static_cast<unsigned>(HRESULT_FROM_WIN32(failure)));
            }
            if (!::RemoveDirectoryW(folder.wstring().c_str())) {
                const DWORD removeError = ::GetLastError();
                if (removeError != ERROR_DIR_NOT_EMPTY && removeError != ERROR_FILE_NOT_FOUND &&
                    removeError != ERROR_PATH_NOT_FOUND)
                    QK_LOG_ERROR(L"Failed to remove %s shortcut folder, error=%d", folder.wstring().c_str(),
                                 static_cast<int>(removeError));
            }
        }
    } catch (const fs::filesystem_error& e) {
        const std::string what = e.what();
        QK_LOG_ERROR(L"Caught filesystem_error exception %s, hr=0x%08X", std::wstring(what.begin(), what.end()).c_str(),
                     static_cast<unsigned>(VEK_E_SHORTCUT_FILE_SYSTEM));
        throw JobEngineException(VEK_E_SHORTCUT_FILE_SYSTEM);
    }
}

} // namespace vek
