#pragma once
// The tray window's view of the real job engine: each call goes straight to VekJobEngine.
#include "ui/tray/VekTrayEngine.h"

#include <memory>

namespace vek {

class VekJobEngine;

class VekTrayJobEngine : public VekTrayEngine {
public:
    explicit VekTrayJobEngine(std::shared_ptr<VekJobEngine> engine);

    int32_t GetEngineState() override;
    bool IsRunning() override;
    void Stop(bool wait) override;
    void Pause() override;
    void Resume() override;
    void CleanUp(unsigned flags) override;
    int GetJobCount() override;
    bool areAllJobsComplete() override;
    bool isFirstJobComplete() override;
    std::shared_ptr<ManifestDocument> GetManifest() override;

private:
    std::shared_ptr<VekJobEngine> m_engine;
};

} // namespace vek
