#pragma once
// Only one launcher runs a given manifest at a time. The wait takes the single-instance lock named
// by the manifest id (one lock for all sessions), trying once a second for 10 seconds, or 60
// with SILENT or r, and counts each wait that gave up in the registry value FailureCount of the
// manifest's key.
#include "engine/launcher/VekSingleInstance.h"

#include <windows.h>

#include <functional>
#include <string>

namespace vek {

class VekInstanceWait {
public:
    // The data reporter's error report: code, send flag, extra data text.
    using ErrorReporter = std::function<void(HRESULT code, bool send, const std::wstring& extra)>;
    using Pause = std::function<void(DWORD milliseconds)>;

    static constexpr DWORD kWaitSeconds = 10;
    static constexpr DWORD kLongWaitSeconds = 60;
    static constexpr DWORD kRetryPauseMs = 1000;

    // registryRoot: the manifest's registry context (HKLM or HKCU).
    VekInstanceWait(VekSingleInstance& guard, HKEY registryRoot, ErrorReporter reporter);

    // Replaces the one-second pause between attempts (tests shorten it).
    void SetPause(Pause pause) { m_pause = std::move(pause); }
    // Replaces the launcher's data folder, below which the lock lies.
    void SetDataFolder(const std::wstring& folder) { m_dataFolder = folder; }

    // S_OK when this process holds the lock; VEK_E_ANOTHER_INSTANCE when another process kept it
    // through the whole wait; E_INVALIDARG for a null id; E_UNEXPECTED without a data folder; the
    // HRESULT of a failure that is no contention (a lock that cannot be made at all).
    HRESULT canRun(const wchar_t* manifestId, bool longWait);
    // The long wait with SILENT or r on the process command line.
    HRESULT canRun(const wchar_t* manifestId);

    // Adds one to FailureCount in "Software\Vallor\Vek\<manifest id>" (0 when it was not there);
    // false when the key or the value cannot be written (a failed write is reported).
    bool incrementFailureCount(const wchar_t* manifestId);

private:
    VekSingleInstance& m_guard;
    HKEY m_registryRoot;
    ErrorReporter m_reporter;
    Pause m_pause;
    std::wstring m_dataFolder;
};

} // namespace vek
