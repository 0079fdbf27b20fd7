#pragma once
// What the tray window asks of the job engine, as one small interface. The product binds it to
// the real job engine (VekJobEngineView); tests drive the tray through a scripted engine. Every
// call runs on the main thread; the engine locks inside.
#include <cstdint>
#include <memory>

namespace vek {

class ManifestDocument;

class VekTrayEngine {
public:
    virtual ~VekTrayEngine() = default;

    // The engine state (-3 fatal error, -2 failover, -1 repeat download, 0 constructed,
    // 1 bootstrapped, 2 started, 4 all jobs done, 6 cleaned up, 7 custom location required).
    virtual int32_t GetEngineState() = 0;
    virtual bool IsRunning() = 0;
    // Stops the engine thread; with wait, joins it.
    virtual void Stop(bool wait) = 0;
    virtual void Pause() = 0;
    virtual void Resume() = 0;
    // Clean-up flags: 0x1 shortcuts, 0x2 downloads folder, 0x4 state file and leftover
    // temporary files, 0x8 registry values and the run task.
    virtual void CleanUp(uint32_t flags) = 0;
    virtual int GetJobCount() = 0;
    virtual bool areAllJobsComplete() = 0;
    virtual bool isFirstJobComplete() = 0;
    // The manifest the engine runs (may be null).
    virtual std::shared_ptr<ManifestDocument> GetManifest() = 0;
};

} // namespace vek
