#include "ui/VekJobEngineView.h"

#include "engine/jobengine/VekJobEngine.h"
#include "engine/manifest/ManifestDocument.h"

namespace vek {

VekJobEngineView::VekJobEngineView(std::shared_ptr<VekJobEngine> engine) : m_engine(std::move(engine)) {}

std::shared_ptr<VekJobEngineView> VekJobEngineView::Make(std::shared_ptr<VekJobEngine> engine)
{
    if (!engine)
        return nullptr;
    return std::make_shared<VekJobEngineView>(std::move(engine));
}

int32_t VekJobEngineView::GetEngineState()
{
    return m_engine->GetEngineState();
}

bool VekJobEngineView::IsRunning()
{
    return m_engine->IsRunning();
}

bool VekJobEngineView::Start()
{
    return m_engine->Start();
}

void VekJobEngineView::Stop(bool wait)
{
    m_engine->Stop(wait);
}

void VekJobEngineView::Pause()
{
    m_engine->Pause();
}

void VekJobEngineView::Resume()
{
    m_engine->Resume();
}

bool VekJobEngineView::IsPaused()
{
    return m_engine->IsPaused();
}

int VekJobEngineView::Bootstrap()
{
    return m_engine->Bootstrap();
}

void VekJobEngineView::CleanUp(uint32_t flags)
{
    // The engine itself refuses when clean-up is not allowed for this run.
    m_engine->CleanUp(flags);
}

int VekJobEngineView::GetJobCount()
{
    return m_engine->GetJobCount();
}

bool VekJobEngineView::GetJob(size_t index, nlohmann::json& job)
{
    if (static_cast<int>(index) >= m_engine->GetJobCount())
        return false;
    job = m_engine->GetJob(static_cast<int>(index));
    return true;
}

bool VekJobEngineView::areAllJobsComplete()
{
    return m_engine->areAllJobsComplete();
}

bool VekJobEngineView::isFirstJobComplete()
{
    return m_engine->isFirstJobComplete();
}

std::shared_ptr<ManifestDocument> VekJobEngineView::GetManifest()
{
    return m_engine->GetManifest();
}

void VekJobEngineView::RemoveJobValue(size_t jobIndex, const char* key)
{
    if (std::shared_ptr<ManifestDocument> manifest = m_engine->GetManifest())
        manifest->RemoveJobValue(jobIndex, key);
}

uint32_t VekJobEngineView::GetDownloadRetryCount()
{
    return m_engine->getRetryDownload();
}

void VekJobEngineView::setRetryDownloadDone()
{
    m_engine->setRetryDownloadDone();
}

void VekJobEngineView::ResetRebootCount()
{
    m_engine->resetRebootCount();
}

std::wstring VekJobEngineView::GetCustomLocation()
{
    std::wstring location;
    m_engine->getCustomLocation(location);
    return location;
}

void VekJobEngineView::SetCustomLocation(const std::wstring& folder)
{
    m_engine->setCustomLocation(folder);
}

std::wstring VekJobEngineView::GetDownloadFolder()
{
    std::wstring folder;
    m_engine->GetDownloadFolder(folder);
    return folder;
}

void VekJobEngineView::createRunTask(const std::wstring& extraArguments)
{
    m_engine->createRunTask(extraArguments);
}

} // namespace vek
