// Clean-up after the jobs: removes what the launcher left behind for a manifest (downloads
// folder, shortcuts, state file and leftover temporary files, registry values and run task) once
// the engine allows it. The parts run in a fixed order whatever the order of the flag bits: the
// downloads folder first, the registry last, so that a failure while removing the registry
// values (which throws) has already let the files go.
#include "engine/jobengine/VekJobEngine.h"

#include "common/base/qkScopedLock.h"
#include "common/diag/qkFindHandle.h"
#include "common/errors/qkLog.h"
#include "engine/jobengine/VekBootstrapSystem.h"
#include "engine/manifest/ManifestAccess.h"
#include "engine/manifest/ManifestDocument.h"
#include "engine/report/VekDataReporter.h"
#include "engine/state/VekStateFile.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekUtil.h"
#include "services/toolbox/Tolk_CUtils.h"

#include <filesystem>
#include <string>
#include <vector>

namespace vek {

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

bool IsFailureState(int32_t state)
{
    return state == VekJobEngine::eFatalError || state == VekJobEngine::eFailover ||
           state == VekJobEngine::eRetryDownloadAllowed;
}

// The file names of every job's "destination_file" entries.
std::vector<std::wstring> DestinationNames(const json& root)
{
    std::vector<std::wstring> names;
    const json* jobs = ManifestAccess::Jobs(root);
    if (jobs == nullptr)
        return names;
    for (const json& job : *jobs) {
        const json* files = ManifestAccess::Files(job);
        if (files == nullptr)
            continue;
        for (const json& entry : *files) {
            const std::wstring name = fs::path(ManifestAccess::DestinationFile(entry)).filename().wstring();
            if (!name.empty())
                names.push_back(name);
        }
    }
    return names;
}

// Deletes one file the launcher wrote, through a handle on the file itself; a file still in use
// goes at the next restart where that is safe (Tolk::CUtils::RemoveFile).
void DeleteOwnFile(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return;
    DWORD flags = Tolk::CUtils::kMayScheduleForRestart;
    const HRESULT hr = Tolk::CUtils::RemoveFile(path.c_str(), &flags);
    if (FAILED(hr) && hr != HRESULT_FROM_WIN32(ERROR_SUCCESS_REBOOT_REQUIRED))
        QK_LOG_ERROR(L"DeleteFile() failed to delete %s, hr=0x%08X", path.c_str(), static_cast<unsigned>(hr));
}

// The download's temporary files ("VEK*.tmp", as the download engine names them) in a folder.
void DeleteOwnTemporaryFiles(const std::wstring& folder)
{
    WIN32_FIND_DATAW data{};
    const qkFindHandle find(::FindFirstFileW((fs::path(folder) / L"VEK*.tmp").wstring().c_str(), &data));
    if (!find.IsValid())
        return;
    do {
        DeleteOwnFile((fs::path(folder) / data.cFileName).wstring());
    } while (::FindNextFileW(find.Get(), &data));
}

} // namespace

bool VekJobEngine::CanCleanup()
{
    bool enabled = false;
    bool rebootLimitExceeded = false;
    int32_t state = eIdle;
    {
        qkScopedLock lock(m_lock);
        enabled = m_cleanupEnabled;
        rebootLimitExceeded = m_rebootLimitExceeded;
        state = m_EngineState;
    }
    if (!enabled) {
        QK_LOG_INFO(L"Cleanup disabled");
        return false;
    }
    if (state == eCleanedUp) {
        QK_LOG_INFO(L"Already cleanedup");
        return false;
    }
    if (rebootLimitExceeded) {
        QK_LOG_INFO(L"Exceeded Reboot Count.");
        return true;
    }
    if (state == eJobsDone) {
        QK_LOG_INFO(L"Jobengine status is success");
        return true;
    }
    if (IsDownloadAccepted()) {
        QK_LOG_INFO(L"OneClickFlow registry found");
        return false;
    }
    return true;
}

void VekJobEngine::CleanUp(unsigned flags)
{
    if (!CanCleanup())
        return;
    QK_LOG_INFO(L"Job engine is cleaning up");
    try {
        if (flags & eCleanDownloads) {
            QK_LOG_INFO(L"Removing the downloads folder");
            deleteDownloadsFolder();
        }
        if (flags & eCleanShortcuts) {
            QK_LOG_INFO(L"Removing the shortcuts");
            deleteShortcuts(flags);
        }
        if (flags & eCleanStateFile) {
            QK_LOG_INFO(L"Removing the state file and temporary files");
            cleanupStateFile();
            // In a folder the user chose, a temporary file of the user's is no leftover.
            if (m_manifest->Read([](const json& root) { return ManifestAccess::CustomLocation(root); }).empty())
                deleteResidueTempFiles();
            else
                DeleteOwnTemporaryFiles(buildDownloadFolder());
        }
        if (flags & eCleanRegistry) {
            QK_LOG_INFO(L"Removing the registry values and the run task");
            deleteRegistryKeys();
            deleteRunTask();
        }
    } catch (const JobEngineException& e) {
        QK_LOG_ERROR(L"Clean-up stopped, hr=0x%08X", static_cast<unsigned>(e.GetCode()));
        reportError(e.GetCode(), L"vek::VekJobEngine::CleanUp(1280)");
        return;
    } catch (const DataReporterException&) {
        QK_LOG_ERROR(L"Clean-up stopped by the data reporter");
        return;
    }
    qkScopedLock lock(m_lock);
    // A run that is still ending keeps its failure state: the windows show it.
    if (m_running && IsFailureState(m_EngineState))
        return;
    m_EngineState = eCleanedUp;
}

void VekJobEngine::deleteDownloadsFolder()
{
    const std::wstring folder = buildDownloadFolder();
    if (folder.empty())
        return;
    const std::wstring custom = m_manifest->Read([](const json& root) { return ManifestAccess::CustomLocation(root); });
    if (custom.empty()) {
        const HRESULT hr = Tolk::CUtils::DeleteFolder(folder.c_str());
        if (FAILED(hr))
            QK_LOG_ERROR(L"Tolk::CUtils::DeleteFolder() failed, hr=0x%08X", static_cast<unsigned>(hr));
        return;
    }
    // A folder the user chose holds the user's files too: only what the launcher wrote goes (the
    // jobs' files, its own copy, the download's temporary files), and the folder only when that
    // left it empty.
    const std::vector<std::wstring> names = m_manifest->Read([](const json& root) { return DestinationNames(root); });
    for (const std::wstring& name : names)
        DeleteOwnFile((fs::path(folder) / name).wstring());
    const std::wstring installed = GetInstalledBinaryPath();
    if (!installed.empty() && ::_wcsicmp(fs::path(installed).parent_path().wstring().c_str(),
                                         fs::path(folder).wstring().c_str()) == 0)
        DeleteOwnFile(installed);
    DeleteOwnTemporaryFiles(folder);
    if (!::RemoveDirectoryW(folder.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND)
        QK_LOG_INFO(L"%s kept: it holds files the launcher did not write", folder.c_str());
}

void VekJobEngine::cleanupStateFile()
{
    // Through a handle on the file itself, checked: a link, another name of another file or a file
    // of another account stays, as does a file in a data folder that is a link.
    const VekStateFile stateFile(dataFolder(), nullptr);
    m_manifest->Read([&](const json& root) { stateFile.Remove(root); });
}

} // namespace vek
