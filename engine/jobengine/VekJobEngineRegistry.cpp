// The job engine's registry values: each operation runs the manifest's registry state under the
// document's lock, so that the manifest id, the registry root and the job array it reads (and
// the download duration it writes back) cannot change under it.
#include "engine/jobengine/VekJobEngine.h"

#include "common/errors/qkLog.h"
#include "engine/manifest/ManifestDocument.h"
#include "engine/state/VekRegistryState.h"

#include <exception>

namespace vek {

void VekJobEngine::withRegistryState(const std::function<void(VekRegistryState&)>& function)
{
    IEngineErrorSink* sink = errorSink();
    m_manifest->Modify([&](json& root) {
        VekRegistryState state(root, sink, m_commandLine);
        function(state);
    });
}

bool VekJobEngine::setStartKey(const json& job)
{
    bool result = false;
    withRegistryState([&](VekRegistryState& state) { result = state.setStartKey(job); });
    return result;
}

bool VekJobEngine::startKeySet(const json& job)
{
    bool result = false;
    withRegistryState([&](VekRegistryState& state) { result = state.startKeySet(job); });
    return result;
}

bool VekJobEngine::setFinishKey(const json& job)
{
    bool result = false;
    withRegistryState([&](VekRegistryState& state) { result = state.setFinishKey(job); });
    return result;
}

bool VekJobEngine::isJobFinished(const json& job)
{
    bool result = false;
    withRegistryState([&](VekRegistryState& state) { result = state.isJobFinished(job); });
    return result;
}

bool VekJobEngine::setDownloadFinishedStatus(const json& job)
{
    bool result = false;
    withRegistryState([&](VekRegistryState& state) { result = state.setDownloadFinishedStatus(job); });
    return result;
}

bool VekJobEngine::isDownloadComplete(const json& job)
{
    bool result = false;
    withRegistryState([&](VekRegistryState& state) { result = state.isDownloadComplete(job); });
    return result;
}

void VekJobEngine::deleteDownloadCompleteKey()
{
    withRegistryState([](VekRegistryState& state) { state.deleteDownloadCompleteKey(); });
}

bool VekJobEngine::updateJobFailureCount(const json& job)
{
    bool result = false;
    withRegistryState([&](VekRegistryState& state) { result = state.updateJobFailureCount(job); });
    return result;
}

void VekJobEngine::SaveDownloadDuration(const json& job)
{
    withRegistryState([&](VekRegistryState& state) { state.SaveDownloadDuration(job); });
}

void VekJobEngine::GetPreviousDownloadDuration(const json& job)
{
    withRegistryState([&](VekRegistryState& state) { state.GetPreviousDownloadDuration(job); });
}

void VekJobEngine::DeleteDownloadDurationKey(const json& job)
{
    withRegistryState([&](VekRegistryState& state) { state.DeleteDownloadDurationKey(job); });
}

unsigned VekJobEngine::getRetryDownload()
{
    unsigned result = 0;
    withRegistryState([&](VekRegistryState& state) { result = state.getRetryDownload(); });
    return result;
}

bool VekJobEngine::setRetryDownload(unsigned value)
{
    bool result = false;
    withRegistryState([&](VekRegistryState& state) { result = state.setRetryDownload(value); });
    return result;
}

void VekJobEngine::setRetryDownloadDone()
{
    setRetryDownload(2);
}

bool VekJobEngine::IsDownloadAccepted()
{
    bool result = false;
    try {
        withRegistryState([&](VekRegistryState& state) { result = state.IsDownloadAccepted(); });
    } catch (const std::exception&) {
        result = false;
    }
    return result;
}

bool VekJobEngine::exceededRebootCount()
{
    bool result = false;
    withRegistryState([&](VekRegistryState& state) { result = state.exceededRebootCount(); });
    return result;
}

void VekJobEngine::resetRebootCount()
{
    withRegistryState([](VekRegistryState& state) { state.resetRebootCount(); });
}

void VekJobEngine::deleteRegistryKeys()
{
    const int32_t engineState = GetEngineState();
    withRegistryState([&](VekRegistryState& state) { state.deleteRegistryKeys(engineState); });
}

} // namespace vek
