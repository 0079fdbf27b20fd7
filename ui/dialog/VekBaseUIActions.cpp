// The main dialog's actions: stopping the engine, closing while releasing a waiting plug-in,
// the restart of Windows after a countdown, and building the installation package into a folder
// the user chooses.
#include "common/errors/qkLog.h"
#include "ui/joblist/VekJobUI.h"
#include "common/system/qkFolderTrust.h"
#include "common/system/qkHandle.h"
#include "engine/launcher/VekExitCode.h"
#include "engine/launcher/VekSwitches.h"
#include "engine/manifest/CManifest.h"
#include "engine/manifest/JobEngineException.h"
#include "engine/manifest/ManifestAccess.h"
#include "engine/manifest/ManifestDocument.h"
#include "engine/report/VekStatusEvents.h"
#include "engine/report/VekStatusReporter.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekTools.h"
#include "services/launcher/VekUtil.h"
#include "ui/VekWindowMessages.h"
#include "ui/dialog/VekBaseUIImpl.h"
#include "ui/dialog/VekProductName.h"
#include "ui/res/VekResourceIds.h"
#include "ui/resources/CVekResourceLoader.h"
#include "ui/util/VekMessageText.h"
#include "ui/util/VekReshowInterval.h"

#include <filesystem>
#include <system_error>

namespace vek {

namespace {

constexpr UINT kRebootFlagsSoft = EWX_REBOOT | EWX_FORCEIFHUNG;
constexpr UINT kRebootFlagsHard = EWX_REBOOT | EWX_FORCE | EWX_FORCEIFHUNG;
constexpr DWORD kRebootReason = SHTDN_REASON_MAJOR_SOFTWARE | SHTDN_REASON_MINOR_INSTALLATION;

std::wstring ParentFolder(const std::wstring& folder)
{
    std::filesystem::path path(folder);
    while (!path.empty() && !path.has_filename() && path.has_parent_path() && path != path.parent_path())
        path = path.parent_path(); // a trailing separator
    return path.parent_path().wstring();
}

std::wstring LongPath(const std::wstring& path)
{
    if (path.size() >= 2 && path[0] != L'\\' && path[1] != L'\\')
        return L"\\\\?\\" + path;
    return path;
}

} // namespace

// ---- durations ------------------------------------------------------------------------------

void VekBaseUI::formatDuration(long long seconds, std::wstring& text)
{
    if (seconds >= 0)
        text = DurationText(seconds);
}

uint64_t VekBaseUI::reshowInterval(uint64_t remainingMilliseconds)
{
    return ReshowIntervalMilliseconds(remainingMilliseconds / 1000);
}

// ---- stop and close -------------------------------------------------------------------------

void VekBaseUI::stopJobAndDisableStartAfterReboot()
{
    if (!m_engine || !m_engine->IsRunning())
        return;
    QK_LOG_INFO(L"Force job to exit with 500ms timeout");
    m_sleep(500);
    stopEngine(false);
    try {
        bool silentUiMode = false;
        if (const auto document = manifestDocument()) {
            VekManifestView view(*document);
            silentUiMode = view.manifest.isSilentUIMode();
        }
        if (!VekTools::isSilentExit(m_commandLine, static_cast<uint32_t>(g_ExitCode), silentUiMode))
            m_engine->CleanUp(eCleanRegistry);
    } catch (const std::exception& e) {
        QK_LOG_ERROR(L"Unable to remove the start after reboot: %S", e.what());
    }
}

void VekBaseUI::stopAndClose()
{
    if (m_engine && m_engine->IsRunning()) {
        stopEngine(false);
        enableExit(false);
        showWaitAnimation(true);
        m_closing = true;
        qkHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, kContinueUpgradeEvent));
        if (event.IsValid()) {
            QK_LOG_INFO(L"Closing VEK, unblock plugin which is waiting for continue upgrade event.");
            m_sleep(100);
            ::SetEvent(event.Get());
        }
        return;
    }
    ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
}

// ---- restart --------------------------------------------------------------------------------

void VekBaseUI::restartWindows()
{
    if (!m_system->EnableShutdownPrivilege()) {
        QK_LOG_ERROR(L"GrantProcess(SE_SHUTDOWN_NAME) failed: last error=%d", static_cast<int>(::GetLastError()));
        return;
    }
    const bool hard = VekTools::hasCmdSwitch(m_commandLine, switches::HARD_REBOOT);
    LogStatusEventF(WINDOWS_RESTART_INITIATED, L"Hard restart: %s", hard ? L"true" : L"false");
    UINT flags = kRebootFlagsSoft;
    if (!hard) {
        QK_LOG_INFO(L"Peform soft reboot");
    } else {
        QK_LOG_INFO(L"HARD_REBOOT option specified");
        flags = kRebootFlagsHard;
    }
    if (!m_system->ExitWindowsSession(flags, kRebootReason))
        QK_LOG_ERROR(L"ExitWindowsEx failed: last err=%d", static_cast<int>(::GetLastError()));
    m_system->RestoreShutdownPrivilege();
}

void VekBaseUI::showRestartCountdown()
{
    Impl& ui = *m_impl;
    ::PostMessageW(m_hWnd, WM_VEK_SHOW_MAIN_WINDOW, 1, 0);
    preparePage(IDR_PNG_ALERT);
    ui.headline.SetText(-1, L"", false);
    ui.body.SetText(327, L"", false);
    ui.secondLine.SetText(326, L"", false);
    ui.greenLine.SetText(-1, L"", false);
    ::FlashWindow(ui.greenLine, TRUE);
    ui.footerClose.ShowWindow(SW_HIDE);
    ::EnableWindow(ui.closeButton, FALSE);

    if (m_system->IsActiveAdminSession()) {
        placePageButton(ui.action2, LoadText(184, L"Restart Now"), action2Right());
        m_action2Mode = 3;
        if (!VekTools::hasCmdSwitch(m_commandLine, switches::ADMIN_INITIATED)) {
            placePageButton(ui.action1, LoadText(328, L"Cancel"), action1Right());
            m_action1Mode = 4;
        }
    }

    const uint64_t minutes = VekTools::cmdSwitchValue(m_commandLine, switches::SHOW_RESTART_PROMPT, 5);
    m_countdownTotal = minutes * 60 * 1000;
    m_countdownStart = m_countdownLastShow = m_tickCount();
    m_countdownInterval = reshowInterval(m_countdownTotal);
    std::wstring text;
    formatDuration(static_cast<long long>(m_countdownTotal / 1000), text);
    ui.greenLine.SetText(-1, text, false);
    ::SetTimer(m_hWnd, kTimerRestartCountdown, 1000, nullptr);
}

LRESULT VekBaseUI::OnTimer(UINT, WPARAM wParam, LPARAM, BOOL& handled)
{
    if (wParam != kTimerRestartCountdown) {
        handled = FALSE;
        return 0;
    }
    const uint64_t now = m_tickCount();
    const long long elapsed = static_cast<long long>(now - m_countdownStart);
    const long long remaining = static_cast<long long>(m_countdownTotal) - elapsed;
    if (remaining < 1) {
        ::KillTimer(m_hWnd, kTimerRestartCountdown);
        restartWindows();
        ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
        return 0;
    }
    std::wstring text;
    formatDuration(remaining / 1000, text);
    m_impl->greenLine.SetText(-1, text, false);
    if (now - m_countdownLastShow > m_countdownInterval) {
        m_countdownLastShow = now;
        m_countdownInterval = reshowInterval(static_cast<uint64_t>(remaining));
        ::PostMessageW(m_hWnd, WM_VEK_SHOW_MAIN_WINDOW, 1, 0);
        QK_LOG_INFO(L"restore VEK windows to show restart message");
    }
    return 0;
}

// ---- page buttons ---------------------------------------------------------------------------

LRESULT VekBaseUI::OnAction1(UINT, WPARAM, LPARAM, BOOL&)
{
    if (m_action1Mode == 4) {
        QK_LOG_ERROR(L"Action was canceled by user");
        ::PostMessageW(m_hWnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (m_action1Mode == 6 && m_engine) {
        std::wstring start = m_engine->GetCustomLocation();
        if (start.empty()) {
            start = ParentFolder(m_engine->GetDownloadFolder());
            std::error_code error;
            if (!std::filesystem::exists(start, error))
                start = ParentFolder(start);
        }
        choosePackageLocation(start);
    }
    return 0;
}

LRESULT VekBaseUI::OnAction2(UINT, WPARAM, LPARAM, BOOL&)
{
    if (m_action2Mode == 3) {
        restartWindows();
        ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
    } else if (m_action2Mode == 5) {
        runAction2();
    }
    return 0;
}

// Creates the package: clears the old files, bootstraps into the chosen folder and starts.
void VekBaseUI::runAction2()
{
    Impl& ui = *m_impl;
    if (!m_engine)
        return;
    ui.warningSign.ShowWindow(SW_HIDE);
    ui.secondBody.ShowWindow(SW_HIDE);
    if (m_engine->GetCustomLocation().empty())
        m_engine->SetCustomLocation(ParentFolder(m_engine->GetDownloadFolder()));
    deleteJobFiles();
    try {
        m_engine->Bootstrap();
    } catch (const JobEngineException& e) {
        QK_LOG_ERROR(L"unable to bootstrap job with error: 0x%08X", static_cast<unsigned>(e.GetCode()));
        g_ExitCode = ExitBootstrapFromDialog;
        if (m_silent) {
            stopAndClose();
        } else {
            ui.warningSign.ShowWindow(SW_SHOW);
            ui.secondBody.SetText(340, L"", false);
        }
        return;
    }
    showJobUI();
    m_engine->Start();
    ui.greenLine.SetTooltip(L"");
}

// ---- package location -----------------------------------------------------------------------

void VekBaseUI::showChangeLocation()
{
    Impl& ui = *m_impl;
    QK_LOG_INFO(L"engineState==VekJobEngine::eCustomLocationRequired, show changeLocationUI");
    const std::wstring folder = VekTools::cmdSwitchString(m_commandLine, switches::EXTRACT_PATH);
    if (!folder.empty()) {
        QK_LOG_INFO(L"Custom package folder specified: %s", folder.c_str());
        std::error_code error;
        std::filesystem::create_directories(folder, error);
        std::error_code statusError;
        if (error && !std::filesystem::is_directory(folder, statusError)) {
            g_ExitCode = ExitBootstrapFromDialog;
            const std::string message = error.message();
            QK_LOG_ERROR(L"Unable to create destination folder, boost error: %S", message.c_str());
            ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
            return;
        }
        if (m_engine)
            m_engine->SetCustomLocation(folder);
        m_action2Mode = 5;
        runAction2();
        return;
    }
    if (m_silent || m_unattended) {
        QK_LOG_INFO(L"Silent or Unattended mode, extract package in default folder");
        if (m_engine)
            m_engine->SetCustomLocation(L"");
        m_action2Mode = 5;
        runAction2();
        return;
    }

    preparePage(IDR_PNG_ALERT);
    ui.pageIcon.ShowWindow(SW_HIDE);
    ui.logo.ShowWindow(SW_SHOW);
    ui.headline.SetText(static_cast<int>(GetProductNameStringId()), L"", false);
    ui.body.SetText(336, L"", false);
    const std::wstring location = m_engine ? ParentFolder(m_engine->GetDownloadFolder()) : std::wstring();
    ui.greenLine.SetFormat(DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
    ui.greenLine.SetText(-1, location, false);
    ui.greenLine.SetTooltip(location);
    placePageButton(ui.action2, LoadText(337, L"Create Package"), action2Right());
    m_action2Mode = 5;
    if (m_system->CanPickFolder()) {
        placePageButton(ui.action1, LoadText(338, L"Change Location"), action1Right());
        m_action1Mode = 6;
    }
    if (packageFilesExist()) {
        ui.warningSign.ShowWindow(SW_SHOW);
        ui.secondBody.SetText(335, L"", false);
    }
}

void VekBaseUI::choosePackageLocation(const std::wstring& startFolder)
{
    Impl& ui = *m_impl;
    if (!m_system->CanPickFolder())
        return;
    const std::optional<std::wstring> chosen = m_system->PickFolder(m_hWnd, LoadText(334), startFolder);
    if (!chosen || chosen->empty())
        return;
    m_engine->SetCustomLocation(*chosen);
    ui.greenLine.SetText(-1, *chosen, false);
    ui.greenLine.SetTooltip(*chosen);
    if (packageFilesExist()) {
        ui.warningSign.ShowWindow(SW_SHOW);
        ui.secondBody.SetText(335, L"", false);
    } else {
        ui.warningSign.ShowWindow(SW_HIDE);
        ui.secondBody.ShowWindow(SW_HIDE);
    }
}

namespace {

// Whether a relative file name joined to a folder names something inside that folder: no drive
// or root ("C:x", "\\x", "\\server\\share"), and no step up ("..") anywhere.
bool StaysInsideFolder(const std::filesystem::path& name)
{
    if (name.empty() || name.has_root_name() || name.has_root_directory())
        return false;
    for (const std::filesystem::path& part : name)
        if (part == L"..")
            return false;
    return true;
}

// The full path the system makes of a name ("." and ".." resolved, "/" turned into "\\");
// empty when it cannot be made.
std::wstring FullPath(const std::wstring& path)
{
    const DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return {};
    std::wstring full(size, L'\0');
    const DWORD written = ::GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (written == 0 || written >= size)
        return {};
    full.resize(written);
    return full;
}

// The length of the full folder path `folder` when the full path `path` lies below it (letter
// case ignored, as the file system ignores it); 0 otherwise.
size_t FolderPrefix(const std::wstring& path, std::wstring folder)
{
    while (!folder.empty() && folder.back() == L'\\')
        folder.pop_back();
    if (folder.empty() || path.size() <= folder.size() + 1 || path[folder.size()] != L'\\')
        return 0;
    const int length = static_cast<int>(folder.size());
    if (::CompareStringOrdinal(path.c_str(), length, folder.c_str(), length, TRUE) != CSTR_EQUAL)
        return 0;
    return folder.size();
}

// Whether a part of the path below its first `prefix` characters is a link: the file the path
// names would then lie elsewhere.
bool PassesThroughLink(const std::wstring& path, size_t prefix)
{
    for (size_t end = prefix + 1; end <= path.size(); ++end)
        if ((end == path.size() || path[end] == L'\\') && qkFolderTrust::IsReparsePoint(path.substr(0, end)))
            return true;
    return false;
}

} // namespace

// The full paths of every file of every job inside the download folder: a relative name joined
// to the folder, or a full path that lies inside it (the engine's start writes those, and a
// resumed run carries them). Names that would leave the folder, and names that reach their file
// through a link, are refused: the deletion may run elevated.
std::vector<std::wstring> VekBaseUI::packageFilePaths()
{
    std::vector<std::wstring> paths;
    const auto document = manifestDocument();
    if (!m_engine || !document)
        return paths;
    const std::wstring folder = FullPath(m_engine->GetDownloadFolder());
    if (folder.empty())
        return paths;
    const nlohmann::json root = document->Snapshot();
    const nlohmann::json* jobs = ManifestAccess::Jobs(root);
    if (jobs == nullptr)
        return paths;
    for (const nlohmann::json& job : *jobs) {
        const nlohmann::json* files = ManifestAccess::Files(job);
        if (files == nullptr)
            continue;
        for (const nlohmann::json& file : *files) {
            const std::wstring destination = ManifestAccess::DestinationFile(file);
            if (destination.empty())
                continue;
            const std::filesystem::path name(destination);
            std::wstring path;
            if (name.is_absolute())
                path = FullPath(destination);
            else if (StaysInsideFolder(name))
                path = FullPath((std::filesystem::path(folder) / name).wstring());
            const size_t prefix = path.empty() ? 0 : FolderPrefix(path, folder);
            if (prefix == 0) {
                QK_LOG_ERROR(L"Package file name %s leaves the download folder; ignored", destination.c_str());
                continue;
            }
            if (PassesThroughLink(path, prefix)) {
                QK_LOG_ERROR(L"Package file %s lies behind a link; ignored", path.c_str());
                continue;
            }
            paths.push_back(path);
        }
    }
    return paths;
}

bool VekBaseUI::packageFilesExist()
{
    for (const std::wstring& path : packageFilePaths())
        if (CheckFileExists(path.c_str()) == S_OK)
            return true;
    return false;
}

void VekBaseUI::deleteJobFiles()
{
    for (const std::wstring& path : packageFilePaths()) {
        if (CheckFileExists(path.c_str()) != S_OK)
            continue;
        if (!::DeleteFileW(LongPath(path).c_str()))
            QK_LOG_ERROR(L"Unable to delete package file %s", path.c_str());
    }
}

} // namespace vek
