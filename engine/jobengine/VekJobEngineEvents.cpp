// The job engine's handling of each job event: registry values, reports, the engine state after
// failures, the wake-up or stop of the engine thread, and the forwarding to the subscribers.
// Runs on the job's thread, inside the job's signal emission.
#include "engine/jobengine/VekJobEngine.h"

#include "common/base/qkScopedLock.h"
#include "common/errors/qkLog.h"
#include "engine/manifest/ManifestAccess.h"
#include "engine/manifest/ManifestDocument.h"
#include "engine/manifest/ManifestJson.h"
#include "services/launcher/VekJobKeys.h"
#include "engine/manifest/VekJobStates.h"
#include "engine/report/VekDataReporter.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekUtil.h"

namespace vek {

void VekJobEngine::postEvent(int32_t event, const json& job)
{
    if (m_reporter) {
        m_reporter->postEvent(event, job);
    }
}

void VekJobEngine::postEventWithData(int32_t event, const json& job)
{
    if (m_reporter) {
        m_reporter->postEventWithData(event, job, true);
    }
}

bool VekJobEngine::hasFailover() const
{
    return m_manifest->Read([](const json& root) { return ManifestAccess::HasFailover(root); });
}

void VekJobEngine::endOfRun()
{
    m_stopEvent.Set();
    m_jobDoneEvent.Set();
}

int32_t VekJobEngine::forward(int32_t event, const json& job)
{
    QK_LOG_INFO(L"Sending jobEvent %d", event);
    const int32_t result = m_jobEventSignal(event, job);
    if (event == eJobFinish) {
        // The job's end has reached the subscribers: the engine thread may move on.
        qkScopedLock lock(m_lock);
        m_currentJobFinished = true;
        m_jobDoneEvent.Set();
    }
    return result;
}

// Records the job's end once ("Finished") and sends the finish report, unless the job has
// recorded it already or is to restart; a spent download retry records it in any case.
void VekJobEngine::finishStep(int32_t, const json& job)
{
    const bool recorded = isJobFinished(job) || job.contains("restart");
    if (recorded && getRetryDownload() != 2) {
        return;
    }
    QK_LOG_INFO(L"Finish key not set, attempting to set");
    if (setFinishKey(job)) {
        QK_LOG_INFO(L"Sending finish ping");
        postEventWithData(eJobFinish, job);
    }
}

int32_t VekJobEngine::onJobFinish(const json& job)
{
    bool fatal = false;
    {
        qkScopedLock lock(m_lock);
        HRESULT code = S_OK;
        const bool hasCode = ManifestAccess::JobErrorCode(job, code);
        if (hasCode) {
            m_manifest->SetLastError(code);
        }
        if (!hasCode || SUCCEEDED(code)) {
            QK_LOG_INFO(L"Job completed successfully, notifying job engine thread that we are done");
            m_jobDoneEvent.Set();
        } else {
            QK_LOG_ERROR(L"Handling eJobFinish failure, engine state=%d  job failed with hrJob=0x%08X", m_EngineState,
                         static_cast<unsigned>(code));
            if (code == VEK_E_PLUGIN_NOT_IN_MANIFEST || code == VEK_E_PLUGIN_LOADER) {
                m_EngineState = VekJobEngine::eFatalError;
                fatal = true;
            } else if (m_EngineState == VekJobEngine::eFatalError) {
                fatal = true;
            }
        }
    }
    if (!fatal) {
        return forward(eJobFinish, job);
    }
    QK_LOG_INFO(L"Updating job failure count");
    if (!updateJobFailureCount(job)) {
        QK_LOG_ERROR(L"updateJobFailureCount() failed");
        if (m_reporter) {
            m_reporter->logError(VEK_E_JOB_EVENT);
        }
    }
    // The subscribers learn of the fatal end; the engine thread still waits for this job's end.
    const int32_t result = forward(vek::eFatalError, job);
    qkScopedLock lock(m_lock);
    m_currentJobFinished = true;
    m_jobDoneEvent.Set();
    return result;
}

int32_t VekJobEngine::onDownloadFailed(const json& job)
{
    QK_LOG_INFO(L"jobEvent == eJobDownloadFailed");
    if (!updateJobFailureCount(job)) {
        QK_LOG_ERROR(L"Failed to update the failure count");
        if (m_reporter) {
            m_reporter->logError(VEK_E_JOB_EVENT);
        }
    }
    const bool notFound =
        ManifestJson::Integer(ManifestJson::Member(&job, jobkeys::kOtherErrors), jobkeys::kOtherErrors, 0) == 404;
    const bool accepted = notFound && m_manifest->Read([](const json& root) { return vek::IsDownloadAccepted(root); });
    const bool failover = hasFailover();

    int32_t event = vek::eFatalError;
    {
        qkScopedLock lock(m_lock);
        if (accepted) {
            m_EngineState = VekJobEngine::eFatalError;
        } else if (failover) {
            QK_LOG_INFO(L"Setting jobEvent to eFailover");
            event = vek::eFailover;
            m_EngineState = VekJobEngine::eFailover;
        } else {
            QK_LOG_INFO(L"Setting jobEvent to eFatalError");
            m_EngineState = VekJobEngine::eFatalError;
        }
        HRESULT code = S_OK;
        if (ManifestAccess::JobErrorCode(job, code)) {
            m_manifest->SetLastError(code);
        }
    }
    postEvent(event, job);
    finishStep(eJobDownloadFailed, job);
    endOfRun();
    return forward(event, job);
}

void VekJobEngine::onDownloadFinish(const json& job)
{
    QK_LOG_INFO(L"Got eJobDownloadFinish");
    if (ManifestAccess::JobType(job) == L"download") {
        QK_LOG_INFO(L"Download-only job, setting finish key and sending finish ping");
        if (!isJobFinished(job) && !job.contains("restart")) {
            QK_LOG_INFO(L"Finish key not set, attempting to set");
            if (setFinishKey(job)) {
                QK_LOG_INFO(L"Sending finish ping");
                postEventWithData(eJobFinish, job);
            }
        }
        return;
    }
    if (!isDownloadComplete(job)) {
        QK_LOG_INFO(L"download completed status not set in registry");
        if (setDownloadFinishedStatus(job)) {
            QK_LOG_INFO(L"Setting job finish status to registry is succeed");
        } else {
            QK_LOG_INFO(L"Failed to set the job finish staus to registry");
        }
    }
}

// An installation error asks for a new download: allowed once per manifest. The grant is recorded
// in the registry ("RetryDownload" 1, then 2 once the new download starts) and in the engine; a
// grant that cannot be recorded is refused, since nothing would stop the next one.
void VekJobEngine::retryDecision(int32_t event, const json& job)
{
    QK_LOG_ERROR(L"Job engine received eJobInstallErrorRetryDownload");
    bool allowed = false;
    if (getRetryDownload() == 2 || m_retryDownloadGranted) {
        QK_LOG_INFO(L"Cannot retry download");
    } else if (!setRetryDownload(1)) {
        QK_LOG_ERROR(L"Cannot retry download: the retry could not be recorded");
    } else {
        QK_LOG_INFO(L"Retry of download after install error is allowed");
        allowed = true;
    }
    if (allowed) {
        m_retryDownloadGranted = true;
        setEngineState(eRetryDownloadAllowed);
    } else {
        setEngineState(VekJobEngine::eFatalError);
    }
    if (event == eJobInstallErrorRetryDownload) {
        postEventWithData(event, job);
    }
}

int32_t VekJobEngine::OnJobEvent(int32_t event, const json& job)
{
    switch (event) {
    case eJobInstallStopped:
    case eJobInstallCancelled:
    case eJobInstallPluginStopped:
        postEvent(event, job);
        endOfRun();
        break;
    case eJobInstallErrorRetryDownload:
        retryDecision(event, job);
        break;
    case eJobPluginFailure:
        finishStep(event, job);
        postEvent(event, job);
        setEngineState(VekJobEngine::eFatalError);
        break;
    case eJobInstallFailed:
        postEvent(event, job);
        setEngineState(VekJobEngine::eFatalError);
        break;
    case vek::eFatalError:
        // A job that ended by its exception (a plug-in that cannot be found, verified or
        // loaded) fails the run: it must never end as a success that clean-up would trust.
        postEvent(event, job);
        setEngineState(VekJobEngine::eFatalError);
        break;
    case vek::eFailover:
        // The job's backend check failed: the run ends offering the fail-over when there is
        // one, else as failed, never as a success.
        setEngineState(hasFailover() ? VekJobEngine::eFailover : VekJobEngine::eFatalError);
        break;
    case eJobInstallFinished:
    case eJobPluginEvent16:
        postEvent(event, job);
        break;
    case eJobPreProcess:
        if (!startKeySet(job) && setStartKey(job)) {
            postEventWithData(event, job);
        }
        GetPreviousDownloadDuration(job);
        break;
    case eJobFinish:
        return onJobFinish(job);
    case eJobDownloadStart: {
        const json* started = ManifestJson::Member(&job, jobkeys::kDownloadStarted);
        if (started && started->is_number_integer() && started->get<int64_t>() == 1) {
            postEvent(event, job);
        }
        DeleteDownloadDurationKey(job);
        deleteDownloadCompleteKey();
        break;
    }
    case eJobDownloadFinish:
        onDownloadFinish(job);
        break;
    case eJobPluginEvent4:
    case eJobPluginEvent15:
    case eJobPluginError:
        m_durationFrozen = true;
        finishStep(event, job);
        break;
    case eJobInstallIncomplete:
    case eJobRebootRequired:
        if (!m_durationFrozen) {
            SaveDownloadDuration(job);
        }
        postEventWithData(event, job);
        endOfRun();
        break;
    case eJobStopped:
        QK_LOG_INFO(L"Got eJobStopped");
        endOfRun();
        postEvent(event, job);
        break;
    case eJobInstallUACCancelled:
        postEventWithData(event, job);
        endOfRun();
        break;
    case eJobDownloadFailed:
        return onDownloadFailed(job);
    case eJobEngineRestartAsAdmin: {
        QK_LOG_INFO(L"jobEvent==eJobEngineRestartAsAdmin");
        {
            qkScopedLock lock(m_lock);
            const json* restart = ManifestJson::Member(&job, "restart");
            const json value = restart ? *restart : json();
            m_manifest->Modify([&](json& root) {
                json& vekNode = root["vek"];
                if (vekNode.is_object()) {
                    vekNode["restart"] = value;
                }
            });
        }
        postEvent(event, job);
        endOfRun();
        break;
    }
    case eJobValidationFailed:
    case eJobDiskFull:
        finishStep(event, job);
        retryDecision(event, job);
        break;
    default:
        break;
    }
    return forward(event, job);
}

} // namespace vek
