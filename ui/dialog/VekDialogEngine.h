#pragma once
// What the main dialog asks of the job engine, as one small interface. The product binds it to
// the real job engine (VekJobEngineView); tests drive the dialog through a scripted engine.
// Every call runs on the main thread; the engine locks inside.
#include <windows.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace vek {

class ManifestDocument;

class VekDialogEngine {
public:
    virtual ~VekDialogEngine() = default;

    // The engine state (-3 fatal error, -2 failover, -1 repeat download, 0 constructed,
    // 1 bootstrapped, 2 started, 4 all jobs done, 6 cleaned up, 7 custom location required).
    virtual int32_t GetEngineState() = 0;
    virtual bool IsRunning() = 0;
    // Stop the engine thread; wait for it when asked. May throw JobEngineException.
    virtual void Stop(bool wait) = 0;
    virtual void Pause() = 0;
    virtual void Resume() = 0;
    virtual bool IsPaused() = 0;
    // True when the engine thread was started.
    virtual bool Start() = 0;
    // 0 go on, 1..4 as the bootstrap answers; throws JobEngineException on failure.
    virtual int Bootstrap() = 0;
    // Clean-up flags: 0x1 shortcuts, 0x2 downloads folder, 0x4 state file, 0x8 registry and task.
    virtual void CleanUp(uint32_t mode) = 0;
    // A copy of the job record at the index; false when there is none.
    virtual bool GetJob(size_t index, nlohmann::json& job) = 0;
    // The engine's manifest document (patched in place where the dialog must change it).
    virtual std::shared_ptr<ManifestDocument> GetManifest() = 0;
    virtual uint32_t GetDownloadRetryCount() = 0;
    virtual void ResetRebootCount() = 0;
    virtual std::wstring GetCustomLocation() = 0;
    virtual void SetCustomLocation(const std::wstring& folder) = 0;
    // The folder the jobs download into.
    virtual std::wstring GetDownloadFolder() = 0;
};

} // namespace vek
