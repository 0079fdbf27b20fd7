#pragma once
// The launcher's per-manifest and per-job progress in the registry, so that a later run (after a
// restart, from the Run value or the run task, or a second launch) knows how far each job got.
// Keys: base key \ manifest id \ job id, under the manifest's registry root. Each operation opens,
// uses and closes its own keys; failures are logged and become false results or defaults.
#include "engine/state/IEngineErrorSink.h"
#include "services/launcher/VekRegistryNames.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include <string>

namespace vek {

class VekRegistryState {
public:
    static constexpr const wchar_t* kBaseKey = kVekRegistryKey;
    static constexpr const wchar_t* kRunKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    static constexpr const wchar_t* kRunValuePrefix = L"Vallor Download Manager";
    static constexpr DWORD kRebootLimit = 5;

    // document: the manifest document (root member "vek"); commandLine: the process's command
    // line, read for its switches; baseKey: the key that holds every manifest's key.
    VekRegistryState(nlohmann::json& document, IEngineErrorSink* reporter, std::wstring commandLine,
                     std::wstring baseKey = kBaseKey);

    bool setStartKey(const nlohmann::json& job);
    bool startKeySet(const nlohmann::json& job);
    bool setFinishKey(const nlohmann::json& job);
    bool isJobFinished(const nlohmann::json& job);
    bool setDownloadFinishedStatus(const nlohmann::json& job);
    bool isDownloadComplete(const nlohmann::json& job);
    void deleteDownloadCompleteKey();
    bool updateJobFailureCount(const nlohmann::json& job);
    void SaveDownloadDuration(const nlohmann::json& job);
    void GetPreviousDownloadDuration(const nlohmann::json& job);
    void DeleteDownloadDurationKey(const nlohmann::json& job);
    unsigned getRetryDownload();
    bool setRetryDownload(unsigned value);
    void setRetryDownloadDone() { setRetryDownload(2); }
    bool IsDownloadAccepted();
    bool exceededRebootCount();
    void resetRebootCount();
    // Clean-up after the jobs. engineState 4 (the engine finished) also removes the job keys and
    // the failure counts. Throws JobEngineException VEK_E_RUN_VALUE_DELETE when the Run value cannot be
    // deleted, after every other deletion; a Run value already absent counts as removed.
    void deleteRegistryKeys(int engineState);

    std::wstring ManifestKeyPath() const;
    std::wstring JobKeyPath(const nlohmann::json& job) const;
    HKEY Root() const;

private:
    bool HasSwitch(const wchar_t* name) const;

    nlohmann::json& m_document;
    IEngineErrorSink* m_reporter;
    std::wstring m_commandLine;
    std::wstring m_baseKey;
};

} // namespace vek
