// The job windows' engine interface over the real job engine, and the job list's constructor
// that takes the real engine (kept here, so that code driving the windows through an engine of
// its own does not link the job engine).
#include "ui/joblist/VekJobUIEngine.h"

#include "engine/jobengine/VekJobEngine.h"
#include "engine/manifest/ManifestDocument.h"
#include "engine/report/VekDataReporter.h"
#include "ui/joblist/VekJobList.h"

namespace vek {

namespace {

class VekJobUIEngineAdapter : public VekJobUIEngine {
public:
    explicit VekJobUIEngineAdapter(std::shared_ptr<VekJobEngine> engine) : m_engine(std::move(engine)) {}

    int GetJobCount() override { return m_engine->GetJobCount(); }
    int32_t GetEngineState() override { return m_engine->GetEngineState(); }
    bool Start() override { return m_engine->Start(); }
    void Stop(bool wait) override { m_engine->Stop(wait); }
    void Pause() override { m_engine->Pause(); }
    void Resume() override { m_engine->Resume(); }
    void setRetryDownloadDone() override { m_engine->setRetryDownloadDone(); }
    void resetRebootCount() override { m_engine->resetRebootCount(); }
    std::wstring GetDownloadFolder() override
    {
        std::wstring folder;
        m_engine->GetDownloadFolder(folder);
        return folder;
    }
    void createRunTask(const std::wstring& extraArguments) override { m_engine->createRunTask(extraArguments); }
    void RemoveJobValue(size_t jobIndex, const char* key) override
    {
        if (std::shared_ptr<ManifestDocument> manifest = m_engine->GetManifest())
            manifest->RemoveJobValue(jobIndex, key);
    }

private:
    std::shared_ptr<VekJobEngine> m_engine;
};

} // namespace

std::shared_ptr<VekJobUIEngine> VekJobUIEngine::Wrap(std::shared_ptr<VekJobEngine> engine)
{
    if (!engine)
        return nullptr;
    return std::make_shared<VekJobUIEngineAdapter>(std::move(engine));
}

VekJobList::VekJobList(std::shared_ptr<VekJobEngine> jobEngine, std::shared_ptr<VekDataReporter> reporter)
    : VekJobList(VekJobUIEngine::Wrap(std::move(jobEngine)), std::move(reporter))
{
}

} // namespace vek
