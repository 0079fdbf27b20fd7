#pragma once
// The state file: the manifest document with the jobs' run-time keys and a checksum, kept in the
// launcher's data folder so that a later start can carry on where this run stopped.
//
// A save writes the whole text to a temporary file beside the state file and moves it over the
// old one: a process stopped at any point leaves the old state or the new one, never none and
// never half of one. The old state file is opened as itself and checked before it is replaced
// or deleted.
#include "engine/state/IEngineErrorSink.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include <functional>
#include <string>

namespace vek {

class VekStateFile {
public:
    // The points of a save at which a test may stop it, as a killed process would.
    enum class Step { Checksummed, TempCreated, Written, Flushed, Closed, BeforeMove };
    // Return false to stop the save there, leaving everything as it is.
    using StepHook = std::function<bool(Step)>;

    // dataFolder: the launcher's data folder, without a trailing backslash.
    VekStateFile(std::wstring dataFolder, IEngineErrorSink* reporter);

    // The launcher's data folder: the common application-data folder and "Talvern\Vek".
    static std::wstring DefaultDataFolder();
    // "\\?\" + folder + "\" + manifest_id ["-" + the user's SID] + ".dat". sid empty: none.
    static std::wstring BuildPath(const std::wstring& dataFolder, const std::wstring& manifestId,
                                  const std::wstring& sid);

    // The path for the document's manifest id and the current user's SID (when readable).
    std::wstring Path(const nlohmann::json& document) const;
    // Sets the document's "crc" and writes it. Never throws; failures are logged and reported.
    void Save(nlohmann::json& document) const;
    // Reads a saved state: S_OK, or the failure, in which case a file that exists but does not
    // load (unreadable, not JSON, wrong checksum) is deleted so that the next run starts afresh.
    // A file refused by qkFolderTrust::RefuseOpened (or in a folder that is a link) counts as
    // absent (VEK_E_FILE_NOT_FOUND): never read, never deleted.
    HRESULT Load(const nlohmann::json& manifest, nlohmann::json& state) const;
    // Deletes the document's state file through a handle on itself; a refused one stays. S_OK
    // when it is gone or was never there.
    HRESULT Remove(const nlohmann::json& document) const;

    void SetStepHook(StepHook hook) { m_hook = std::move(hook); }

    // The checksum of a "vek" member: CRC-32 over every byte of its compact UTF-16 text.
    static DWORD Checksum(const nlohmann::json& vekMember);

private:
    bool Continue(Step step) const { return !m_hook || m_hook(step); }
    void SaveUnguarded(nlohmann::json& document) const;

    std::wstring m_dataFolder;
    IEngineErrorSink* m_reporter;
    StepHook m_hook;
};

} // namespace vek
