#include "ui/dialog/VekDialogJobEngine.h"

#include "engine/jobengine/VekJobEngine.h"

namespace vek {

namespace {

class VekDialogJobEngine final : public VekDialogEngine {
public:
    explicit VekDialogJobEngine(std::shared_ptr<VekJobEngine> engine) : m_engine(std::move(engine)) {}

    int GetEngineState() override { return m_engine->GetEngineState(); }
    bool IsRunning() override { return m_engine->IsRunning(); }
    void Stop(bool wait) override { m_engine->Stop(wait); }
    void Pause() override { m_engine->Pause(); }
    void Resume() override { m_engine->Resume(); }
    bool IsPaused() override { return m_engine->IsPaused(); }
    HRESULT Start() override { return m_engine->Start() ? S_OK : S_FALSE; }
    int Bootstrap() override { return m_engine->Bootstrap(); }
    void CleanUp(uint32_t mode) override { m_engine->CleanUp(mode); }
    bool GetJob(size_t index, nlohmann::json& job) override
    {
        if (static_cast<int>(index) >= m_engine->GetJobCount())
            return false;
        job = m_engine->GetJob(static_cast<int>(index));
        return true;
    }
    std::shared_ptr<ManifestDocument> GetManifest() override { return m_engine->GetManifest(); }
    uint32_t GetDownloadRetryCount() override { return m_engine->getRetryDownload(); }
    void ResetRebootCount() override { m_engine->resetRebootCount(); }
    std::wstring GetCustomLocation() override
    {
        std::wstring location;
        m_engine->getCustomLocation(location);
        return location;
    }
    void SetCustomLocation(const std::wstring& folder) override { m_engine->setCustomLocation(folder); }
    std::wstring GetDownloadFolder() override
    {
        std::wstring folder;
        m_engine->GetDownloadFolder(folder);
        return folder;
    }

private:
    std::shared_ptr<VekJobEngine> m_engine;
};

} // namespace

std::shared_ptr<VekDialogEngine> MakeDialogJobEngine(std::shared_ptr<VekJobEngine> engine)
{
    if (!engine)
        return nullptr;
    return std::make_shared<VekDialogJobEngine>(std::move(engine));
}

} // namespace vek
