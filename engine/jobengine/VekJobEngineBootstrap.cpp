// Bootstrap: prepares the ground before any job runs. Expands the manifest's tokens, restores the
// saved state, settles the run location and the download folder, cleans up instead when the
// machine rebooted too often, copies the launcher into the download folder, verifies the copy,
// registers the Run value, run task and shortcuts, and relaunches the copy.
#include "engine/jobengine/VekJobEngine.h"
#include "common/base/qkLastError.h"

#include "common/base/qkScopedLock.h"
#include "common/errors/qkLog.h"
#include "common/system/qkCommandLine.h"
#include "common/system/qkFolderTrust.h"
#include "engine/jobengine/VekBootstrapSystem.h"
#include "engine/launcher/VekSwitches.h"
#include "engine/manifest/ManifestAccess.h"
#include "engine/manifest/ManifestDocument.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekUtil.h"
#include "services/launcher/VekTokenMask.h"

#include <filesystem>
#include <system_error>

namespace vek {

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

// The current user's temporary folder; throws the query's failure.
std::wstring getTempInstallDir(VekBootstrapSystem& system)
{
    std::wstring folder;
    const HRESULT hr = system.TempFolder(folder);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"GetTempPath() failed, hr=0x%08X", static_cast<unsigned>(hr));
        throw JobEngineException(hr);
    }
    return folder;
}

// The bootstrap options of the manifest with their defaults.
struct BootstrapOptions {
    bool install = true;
    bool shouldCreateRunKey = true;
    bool shouldCreateRunTask = false;
    bool shouldCreateShortcuts = true;
    bool honorRestart = true;
    bool askLocation = false;
};

// A Boolean option; textual only where the option may be given as text ("true" in any case).
bool ReadOption(const json& options, const char* key, bool fallback, bool textual)
{
    const auto it = options.find(key);
    if (it == options.end())
        return fallback;
    if (it->is_boolean())
        return it->get<bool>();
    if (textual)
        return it->is_string() && ::_wcsicmp(FromUtf8(it->get<std::string>()).c_str(), L"true") == 0;
    return fallback;
}

BootstrapOptions ReadOptions(const json& root)
{
    BootstrapOptions result;
    const json* options = ManifestAccess::BootstrapOptions(root);
    if (options == nullptr)
        return result;
    result.install = ManifestAccess::Install(root);
    result.shouldCreateRunKey = ManifestAccess::ShouldCreateRunKey(root);
    result.shouldCreateRunTask = ReadOption(*options, "shouldCreateRunTask", false, false);
    result.shouldCreateShortcuts = ReadOption(*options, "shouldCreateShortcuts", true, false);
    result.honorRestart = ReadOption(*options, "honor_restart", true, false);
    result.askLocation = ReadOption(*options, "ask_location", false, true);
    return result;
}

void SetBootstrapText(json& root, const char* key, const std::wstring& text)
{
    root["vek"]["bootstrap"][key] = ToUtf8(text);
}

bool Exists(const std::wstring& path)
{
    return !path.empty() && SUCCEEDED(CheckFileExists(path.c_str()));
}

// A process with full rights refuses a folder that another user could have planted or
// redirected: a link anywhere on its path, or an owner other than the administrators, SYSTEM
// or this process's own account.
void RefuseUnsafeFolder(const std::wstring& folder)
{
    if (qkFolderTrust::PathHasReparsePoint(folder)) {
        QK_LOG_ERROR(L"%s is or lies under a link, not using it", folder.c_str());
        throw JobEngineException(VEK_E_PATH_TOO_LONG);
    }
    if (!qkFolderTrust::HasTrustedOwner(folder)) {
        QK_LOG_ERROR(L"%s is owned by another account, not using it", folder.c_str());
        throw JobEngineException(VEK_E_PATH_TOO_LONG);
    }
}

} // namespace

VekBootstrapSystem& VekJobEngine::bootstrapSystem()
{
    if (!m_bootstrapSystem)
        m_bootstrapSystem = std::make_shared<VekBootstrapSystem>();
    return *m_bootstrapSystem;
}

int32_t VekJobEngine::Bootstrap()
{
    // The failure state follows whether the manifest offers a fail-over.
    auto enterFailureState = [this](const wchar_t* what) {
        if (m_manifest->Read([](const json& root) { return ManifestAccess::HasFailover(root); })) {
            QK_LOG_ERROR(L"Caught %s, m_EngineState = eFailover", what);
            setEngineState(eFailover);
        } else {
            QK_LOG_ERROR(L"Caught %s, m_EngineState = eFatalError", what);
            setEngineState(eFatalError);
        }
    };
    auto storeInstalled = [this](const std::wstring& path) {
        qkScopedLock lock(m_lock);
        m_installedBinaryPath = path;
    };
    VekBootstrapSystem& system = bootstrapSystem();
    try {
        doPathExpansion();
        loadState();

        BootstrapOptions options = m_manifest->Read([](const json& root) { return ReadOptions(root); });
        qkCommandLine commandLine;
        commandLine.Parse(m_commandLine.c_str());
        if (commandLine.HasSwitch(switches::NOUI)) {
            options.install = false;
            options.shouldCreateShortcuts = false;
        }

        if (options.askLocation && !options.install) {
            const std::wstring custom =
                m_manifest->Read([](const json& root) { return ManifestAccess::CustomLocation(root); });
            if (custom.empty()) {
                setEngineState(eCustomLocationRequired);
                return eBootstrapAskLocation;
            }
            m_manifest->Modify([&](json& root) { SetBootstrapText(root, "run_location", custom); });
        }

        std::wstring runLocation = m_manifest->Read([](const json& root) { return ManifestAccess::RunLocation(root); });
        std::wstring downloadFolder = buildDownloadFolder();
        if (!checkPathLengths(downloadFolder))
            throw JobEngineException(VEK_E_PATH_TOO_LONG);
        if (runLocation.empty())
            throw JobEngineException(VEK_E_RUN_LOCATION);

        // Settle the run location: an existing rooted folder is kept, a missing one is made; a
        // relative one is never used (it would depend on the current folder).
        const fs::path run(runLocation);
        const bool rooted = run.has_root_name() || run.has_root_directory();
        bool usable = rooted && Exists(runLocation);
        if (!usable) {
            if (!rooted) {
                QK_LOG_ERROR(L"Relative Path found.");
            } else {
                std::error_code error;
                fs::create_directories(run, error);
                if (error)
                    QK_LOG_ERROR(L"bfs::create_directories() failed to create %s, hr=0x%08X", runLocation.c_str(),
                                 static_cast<unsigned>(HRESULT_FROM_WIN32(error.value())));
                usable = Exists(runLocation);
            }
        }
        if (!usable) {
            QK_LOG_ERROR(L"Downloading via Temp folder");
            runLocation = getTempInstallDir(system);
            m_manifest->Modify([&](json& root) { SetBootstrapText(root, "run_location", runLocation); });
            // Every folder below the run location moves with it.
            downloadFolder = buildDownloadFolder();
            if (!checkPathLengths(downloadFolder))
                throw JobEngineException(VEK_E_PATH_TOO_LONG);
        }
        const bool elevated = system.IsElevated();
        if (elevated)
            RefuseUnsafeFolder(runLocation);

        if (exceededRebootCount()) {
            {
                qkScopedLock lock(m_lock);
                m_rebootLimitExceeded = true;
            }
            const bool keepDownloads = areAllJobsComplete() || (GetJobCount() > 1 && isFirstJobComplete());
            CleanUp(keepDownloads ? eCleanAllButDownloads : eCleanAll);
            return eBootstrapCleanedUp;
        }

        if (downloadFolder.empty())
            throw JobEngineException(VEK_E_DOWNLOAD_FOLDER);
        const HRESULT present = CheckFileExists(downloadFolder.c_str());
        if (FAILED(present)) {
            QK_LOG_INFO(L"Install path does not exist creating dir, hr=0x%08X", static_cast<unsigned>(present));
            std::error_code error;
            fs::create_directories(fs::path(downloadFolder), error);
            if (!Exists(downloadFolder)) {
                QK_LOG_ERROR(L"CreateDirectory() failed to create %s, hr=0x%08X", downloadFolder.c_str(),
                             static_cast<unsigned>(error ? HRESULT_FROM_WIN32(error.value()) : E_FAIL));
                throw JobEngineException(VEK_E_PATH_TOO_LONG);
            }
        }
        if (elevated)
            RefuseUnsafeFolder(downloadFolder);

        std::wstring installedName =
            m_manifest->Read([](const json& root) { return ManifestAccess::InstalledVek(root); });
        if (installedName.empty())
            installedName = fs::path(m_currentPath).filename().wstring();
        std::wstring installed = (fs::path(downloadFolder) / installedName).wstring();
        storeInstalled(installed);
        QK_LOG_INFO(L"installedBinaryPath - %s, CurrentPath - %s", installed.c_str(), m_currentPath.c_str());

        // A process started with "r" was relaunched: by the bootstrap (it then normally runs
        // from the copy, and nothing below applies) or through the shell to gain rights, from
        // the launcher the user started. It never copies again, but it verifies the copy, repairs
        // the trust system where it may, and starts the copy. The first process may have put the
        // copy into the temporary folder when the download folder refused it: that copy is
        // verified and started instead, and a process that is that copy runs from where it is.
        const bool relaunchedCopy = commandLine.HasSwitch(switches::RELAUNCHED);
        const auto isCurrent = [this](const std::wstring& path) {
            return ::_wcsicmp(path.c_str(), m_currentPath.c_str()) == 0;
        };
        if (relaunchedCopy && options.install && !isCurrent(installed)) {
            const std::wstring tempCopy = (fs::path(getTempInstallDir(system)) / installedName).wstring();
            if (isCurrent(tempCopy)) {
                QK_LOG_INFO(L"Running from the temporary folder, %s", m_currentPath.c_str());
                installed = m_currentPath;
                storeInstalled(installed);
            } else if (!Exists(installed)) {
                if (Exists(tempCopy)) {
                    QK_LOG_INFO(L"The launcher copy is %s", tempCopy.c_str());
                    installed = tempCopy;
                } else {
                    QK_LOG_INFO(L"No launcher copy at %s, running from %s", installed.c_str(), m_currentPath.c_str());
                    installed = m_currentPath;
                }
                storeInstalled(installed);
            }
        }
        bool relaunch = false;
        if (options.install && !isCurrent(installed)) {
            QK_LOG_INFO(L"Installing VEK");
            const DWORD attributes = ::GetFileAttributesW(installed.c_str());
            // An earlier read-only copy gives way to the new one; a relaunched process keeps the
            // copy it is about to verify.
            if (!relaunchedCopy && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
                if (!::SetFileAttributesW(installed.c_str(), FILE_ATTRIBUTE_NORMAL)) {
                    const HRESULT hr = qkLib::LastErrorResult();
                    QK_LOG_ERROR(L"SetFileAttributes() failed to set FILE_ATTRIBUTE_NORMAL on %s, hr=0x%08X",
                                 installed.c_str(), static_cast<unsigned>(hr));
                    throw JobEngineException(hr);
                }
                QK_LOG_INFO(L"%s already exists, deleting", installed.c_str());
                ::DeleteFileW(installed.c_str());
            }
            if (!relaunchedCopy && !::CopyFileW(m_currentPath.c_str(), installed.c_str(), FALSE)) {
                QK_LOG_ERROR(L"CopyFile() failed to copy %s to %s, hr=0x%08X, using temp path", m_currentPath.c_str(),
                             installed.c_str(), static_cast<unsigned>(qkLib::LastErrorResult()));
                installed = (fs::path(getTempInstallDir(system)) / installedName).wstring();
                storeInstalled(installed);
                QK_LOG_INFO(L"Setting install location to %s and retrying", installed.c_str());
                if (!::CopyFileW(m_currentPath.c_str(), installed.c_str(), FALSE)) {
                    const HRESULT hr = qkLib::LastErrorResult();
                    QK_LOG_ERROR(L"Failed to copy VEKUI to install location, hr=0x%08X", static_cast<unsigned>(hr));
                    throw JobEngineException(hr);
                }
            }
            relaunch = true;

            const std::wstring zone = installed + L":Zone.Identifier";
            if (!::DeleteFileW(zone.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND)
                QK_LOG_ERROR(L"Failed to delete zone information from %s, hr=0x%08X", installed.c_str(),
                             static_cast<unsigned>(qkLib::LastErrorResult()));

            // From here the copy stays held: nothing can replace it before it is started.
            HRESULT hr = system.VerifyAndHold(installed);
            if (hr == TRUST_E_SYSTEM_ERROR) {
                QK_LOG_ERROR(L"Validation of executable prior to relaunch failed.  Attempting to rebuild trust "
                             L"system. hr=0x%08X",
                             static_cast<unsigned>(hr));
                const bool admin = system.IsAdministrator();
                const bool uac = system.IsVistaOrLater() && system.IsUACEnabled();
                if ((uac && admin) || (system.IsWindowsXP() && admin)) {
                    QK_LOG_INFO(L"Attempting repair");
                    if (system.RepairTrustSystem()) {
                        QK_LOG_INFO(L"RepairTrustSystem() succeeded, calling CLockedFileVerifier::VerifyFile() again");
                        hr = system.VerifyAndHold(installed);
                        if (FAILED(hr)) {
                            QK_LOG_ERROR(L"CLockedFileVerifier::VerifyFile() failed after repair, hr=0x%08X",
                                         static_cast<unsigned>(hr));
                            hr = VEK_E_BOOTSTRAP_VERIFY;
                        }
                    }
                } else if (uac && !relaunchedCopy) {
                    // A relaunched process does not ask again: its relaunch was the request for
                    // rights, and asking once more would prompt without end after a refusal.
                    QK_LOG_INFO(L"Running on Vista or higher but not admin, try re-launching");
                    system.Release();
                    return eBootstrapNeedsElevation;
                }
            }
            if (FAILED(hr)) {
                system.Release();
                if (!::DeleteFileW(installed.c_str())) {
                    hr = qkLib::LastErrorResult();
                    QK_LOG_ERROR(L"DeleteFile() failed, hr=0x%08X", static_cast<unsigned>(hr));
                }
                throw JobEngineException(hr);
            }
        }

        updateLocalFileInformation();
        if (!options.install) {
            installed = m_currentPath;
            storeInstalled(installed);
        }
        if (options.shouldCreateRunKey)
            createRunKeys(installed);
        if (options.shouldCreateRunTask)
            createRunTask(L"");
        if (options.shouldCreateShortcuts)
            createShortcuts(buildInstallFolder(), installed);

        setEngineState(eBootstrapped);

        if (!relaunch || !options.honorRestart) {
            system.Release();
            return eBootstrapContinue;
        }
        std::wstring relaunchCommand = L"\"" + installed + L"\" /" + switches::RELAUNCHED;
        AppendForwardedSwitches(commandLine, relaunchCommand, nullptr);
        const HRESULT verified = system.VerifyAndHold(installed);
        if (FAILED(verified)) {
            system.Release();
            QK_LOG_ERROR(L"Prelaunch verification of VEK  failed, hr=0x%08X", static_cast<unsigned>(verified));
            throw JobEngineException(verified);
        }
        QK_LOG_INFO(L"Attempting to relaunch VEK as %s", MaskCommandLineToken(relaunchCommand).c_str());
        const HRESULT launched = system.LaunchHeld(installed, relaunchCommand);
        if (FAILED(launched)) {
            QK_LOG_ERROR(L"pl.Launch() failed ot launch %s, hr=0x%08X", MaskCommandLineToken(relaunchCommand).c_str(),
                         static_cast<unsigned>(launched));
            throw JobEngineException(VEK_E_RELAUNCH);
        }
        return eBootstrapRelaunched;
    } catch (const JobEngineException& e) {
        system.Release();
        enterFailureState(L"JobEngineException");
        QK_LOG_ERROR(L"Caught JobEngineException hr=0x%08X", static_cast<unsigned>(e.GetCode()));
        throw;
    } catch (const fs::filesystem_error&) {
        system.Release();
        enterFailureState(L"filesystem_error exception");
        throw JobEngineException(VEK_E_FILE_SYSTEM);
    } catch (...) {
        // Allocation and JSON failures pass on unchanged; the copy is no longer held.
        system.Release();
        throw;
    }
}

} // namespace vek
