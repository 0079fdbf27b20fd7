#include "ui/tray/VekTrayJobEngine.h"

#include "engine/jobengine/VekJobEngine.h"

namespace vek {

VekTrayJobEngine::VekTrayJobEngine(std::shared_ptr<VekJobEngine> engine) : m_engine(std::move(engine)) {}

int32_t VekTrayJobEngine::GetEngineState()
{
    return m_engine->GetEngineState();
}

bool VekTrayJobEngine::IsRunning()
{
    return m_engine->IsRunning();
}

void VekTrayJobEngine::Stop(bool wait)
{
    m_engine->Stop(wait);
}

void VekTrayJobEngine::Pause()
{
    m_engine->Pause();
}

void VekTrayJobEngine::Resume()
{
    m_engine->Resume();
}

void VekTrayJobEngine::CleanUp(unsigned flags)
{
    // The engine itself refuses when clean-up is not allowed for this run.
    m_engine->CleanUp(flags);
}

int VekTrayJobEngine::GetJobCount()
{
    return m_engine->GetJobCount();
}

bool VekTrayJobEngine::areAllJobsComplete()
{
    return m_engine->areAllJobsComplete();
}

bool VekTrayJobEngine::isFirstJobComplete()
{
    return m_engine->isFirstJobComplete();
}

std::shared_ptr<ManifestDocument> VekTrayJobEngine::GetManifest()
{
    return m_engine->GetManifest();
}

} // namespace vek
