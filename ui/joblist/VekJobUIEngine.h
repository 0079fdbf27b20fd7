#pragma once
// What the job list and the job windows ask of the job engine, as one small interface. The
// product binds it to the real job engine (Wrap, a VekJobEngineView); tests drive the windows through an engine of
// their own. Every call runs on the main thread; the engine locks inside.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vek {

class VekJobEngine;

class VekJobUIEngine {
public:
    virtual ~VekJobUIEngine() = default;

    // The number of jobs of the manifest's job array.
    virtual int GetJobCount() = 0;
    // -3 fatal error, -2 failover, -1 repeat download, 0 constructed, 1 bootstrapped,
    // 2 started, 4 all jobs done, 6 cleaned up, 7 custom location required.
    virtual int32_t GetEngineState() = 0;
    virtual bool Start() = 0;
    virtual void Stop(bool wait) = 0;
    virtual void Pause() = 0;
    virtual void Resume() = 0;
    // Records that the user retried the download after a download error.
    virtual void setRetryDownloadDone() = 0;
    virtual void ResetRebootCount() = 0;
    virtual std::wstring GetDownloadFolder() = 0;
    // Registers the run task with an extra argument ("/UPGRADE_CONFIRMED").
    virtual void createRunTask(const std::wstring& extraArguments) = 0;
    // Removes a value from the job's node in the engine's manifest document, so that the next
    // start of the engine does not see it.
    virtual void RemoveJobValue(size_t jobIndex, const char* key) = 0;

    // The interface over the real job engine; null stays null.
    static std::shared_ptr<VekJobUIEngine> Wrap(std::shared_ptr<VekJobEngine> engine);
};

} // namespace vek
