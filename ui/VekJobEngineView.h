#pragma once
// The windows' one binding to the real job engine. The main dialog, the job windows and the tray
// each ask through a small interface of their own (VekDialogEngine, VekJobUIEngine,
// VekTrayEngine), so that each window's tests script only what that window asks; this object
// answers all three, each call going straight to VekJobEngine, which locks inside.
#include "ui/dialog/VekDialogEngine.h"
#include "ui/joblist/VekJobUIEngine.h"
#include "ui/tray/VekTrayEngine.h"

#include <memory>

namespace vek {

class VekJobEngine;

class VekJobEngineView final : public VekDialogEngine, public VekJobUIEngine, public VekTrayEngine {
public:
    explicit VekJobEngineView(std::shared_ptr<VekJobEngine> engine);
    // Null when there is no engine.
    static std::shared_ptr<VekJobEngineView> Make(std::shared_ptr<VekJobEngine> engine);

    int32_t GetEngineState() override;
    bool IsRunning() override;
    bool Start() override;
    void Stop(bool wait) override;
    void Pause() override;
    void Resume() override;
    bool IsPaused() override;
    int Bootstrap() override;
    void CleanUp(uint32_t flags) override;
    int GetJobCount() override;
    bool GetJob(size_t index, nlohmann::json& job) override;
    bool areAllJobsComplete() override;
    bool isFirstJobComplete() override;
    std::shared_ptr<ManifestDocument> GetManifest() override;
    void RemoveJobValue(size_t jobIndex, const char* key) override;
    uint32_t GetDownloadRetryCount() override;
    void setRetryDownloadDone() override;
    void ResetRebootCount() override;
    std::wstring GetCustomLocation() override;
    void SetCustomLocation(const std::wstring& folder) override;
    std::wstring GetDownloadFolder() override;
    void createRunTask(const std::wstring& extraArguments) override;

private:
    std::shared_ptr<VekJobEngine> m_engine;
};

} // namespace vek
