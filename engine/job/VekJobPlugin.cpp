// The job's installation stage: the installation plug-in named in the job's files is verified
// while it is held open, loaded, created by class identifier, started with the job node's text,
// and polled until it reports an end status.
#include "engine/job/VekJob.h"
#include "services/launcher/VekResultCodes.h"

#include "common/errors/qkLog.h"
#include "common/objects/qkTalDllLoader.h"
#include "engine/job/VekJobPluginFile.h"
#include "services/launcher/VekJobKeys.h"
#include "engine/manifest/VekJobStates.h"
#include "engine/plugin/VekCurrentPlugin.h"
#include "engine/plugin/sdk/VekPluginInterfaces.h"
#include "services/launcher/VekUtil.h"
#include "services/trust/CLockedFileVerifier.h"

#include <wrl/client.h>

#include <utility>

namespace vek {

using plugin::IVekPlugin2;
using plugin::IVekPluginCallback;

// The callback object handed to the plug-in's Start: not reference counted, owned by the stage,
// called on the plug-in's own threads.
class VekJob::PluginCallback final : public IVekPluginCallback {
public:
    explicit PluginCallback(VekJob& job) : m_job(job) {}

    HRESULT STDMETHODCALLTYPE OnError(HRESULT code, const wchar_t* errorData) override
    {
        try {
            m_job.handlePluginError(code, errorData);
        } catch (const std::exception& e) {
            QK_LOG_ERROR(L"Caught std::exception, %S", e.what());
        } catch (...) {
            QK_LOG_ERROR(L"Caught an unknown exception");
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnEvent(int32_t jobEvent) override
    {
        try {
            m_job.handlePluginEvent(jobEvent);
        } catch (const std::exception& e) {
            QK_LOG_ERROR(L"Caught std::exception, %S", e.what());
        } catch (...) {
            QK_LOG_ERROR(L"Caught an unknown exception");
        }
        return S_OK;
    }

private:
    VekJob& m_job;
};

bool VekJob::getJobPlugin(json& entry)
{
#ifdef _WIN64
    QK_LOG_INFO(L"64 bit process");
    const char* type = "job_plugin64";
#else
    QK_LOG_INFO(L"32 bit process");
    const char* type = "job_plugin2";
#endif
    const std::wstring known = GuidToString(plugin::CLSID_VekPlugin2);
    if (FindPluginEntry(JobSnapshot(), type, known, entry)) {
        return true;
    }
    QK_LOG_ERROR(L"PLUGIN NOT FOUND for %S", type);
    return false;
}

void VekJob::handlePluginError(HRESULT code, const wchar_t* errorData)
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    if (code == VEK_E_PLUGIN_INTERMEDIATE) {
        if (errorData == nullptr) {
            return;
        }
        const std::string text = ToUtf8(errorData);
        json value = json::parse(text, nullptr, false, true);
        SetJobValue(jobkeys::kIntermediateErrors, value.is_discarded() ? json(text) : std::move(value));
        return;
    }
    SetJobValue(jobkeys::kJobErrorCode, static_cast<int32_t>(code));
    SetJobValue(jobkeys::kLastPluginError, static_cast<int32_t>(code));
    QK_LOG_ERROR(L"Plugin returned hr=0x%08X with errorData=%s", code, errorData != nullptr ? errorData : L"(null)");
}

void VekJob::handlePluginEvent(int32_t event)
{
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (event == eJobPluginFailure) {
            m_pluginStage = false;
        }
        // The error code comes from the job's own reference, which lives as long as the stage.
        HRESULT pluginError = S_OK;
        if (event == eJobRekeyStatus1 && m_currentPlugin != nullptr) {
            pluginError = static_cast<IVekPlugin2*>(m_currentPlugin)->GetErrorCode();
        }
        m_manifest->RecordPluginEvent(m_jobIndex, event, static_cast<int32_t>(pluginError));
    }
    Fire(event);
}

void VekJob::postProcess()
{
    // Event 21 may cancel the installation: a negative answer of the signal.
    if (Fire(eJobInstallStart) < 0) {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        SetJobValue(jobkeys::kJobErrorCode, static_cast<int32_t>(VEK_E_INSTALL_CANCELLED));
        SetState(eInstallCancelled);
        return;
    }
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        m_pluginStage = true;
    }

    json entry;
    if (!getJobPlugin(entry)) {
        QK_LOG_ERROR(L"Failed to get job_plugin2 from manifest");
        throw JobException(VEK_E_PLUGIN_NOT_IN_MANIFEST);
    }
    const std::wstring path = PluginFilePath(entry);

    // Released in the reverse order: the plug-in, the callback object, the module, the file.
    CLockedFileVerifier verifier;
    qkTalDllLoader loader;
    PluginCallback callback(*this);
    Microsoft::WRL::ComPtr<IVekPlugin2> object;
    struct CurrentPluginScope {
        VekJob& job;
        ~CurrentPluginScope()
        {
            std::lock_guard<std::recursive_mutex> lock(job.m_lock);
            job.m_currentPlugin = nullptr;
        }
    } currentScope{*this};

    const HRESULT verified = VerifyPluginFile(path, entry, verifier);
    if (FAILED(verified)) {
        QK_LOG_ERROR(L"Preload verification of plugin  failed, hr=0x%08X", verified);
        throw JobException(VEK_E_PLUGIN_SIGNATURE);
    }
    const HRESULT loaded = loader.Load(path.c_str());
    if (FAILED(loaded)) {
        QK_LOG_ERROR(L"failed to load: %s (0x%08x)", path.c_str(), loaded);
        throw JobException(VEK_E_PLUGIN_LOADER);
    }
    const HRESULT created = loader.CreateObject(plugin::CLSID_VekPlugin2, plugin::IID_IVekPlugin2,
                                                reinterpret_cast<void**>(object.GetAddressOf()));
    if (FAILED(created) || !object) {
        QK_LOG_ERROR(L"Failed to create IVekPlugin2 object, 0x%08x", created);
        throw JobException(VEK_E_PLUGIN_CREATE);
    }
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        m_currentPlugin = object.Get();
    }
    VekCurrentPlugin::Set(PluginKind::Installation, object.Get());

    QK_LOG_INFO(L"Starting the install process");
    const std::wstring text = FromUtf8(JobSnapshot().dump(4));
    const HRESULT started = object->Start(text.c_str(), &callback);
    if (FAILED(started)) {
        QK_LOG_ERROR(L"Failed to start install job plugin, 0x%08x", started);
        VekCurrentPlugin::Clear(PluginKind::Installation);
        throw JobException(VEK_E_PLUGIN_START);
    }

    int32_t status = plugin::ePluginNotStarted;
    bool stopped = false;
    object->GetStatus(&status);
    while (status == plugin::ePluginRunning) {
        if (IsTerminating()) {
            QK_LOG_INFO(L"IsTerminating is True : Calling VekPlugin Stop..");
            object->Stop();
            status = plugin::ePluginNotStarted;
            stopped = true;
            break;
        }
        if (::WaitForSingleObject(m_stopEvent.Get(), m_tuning.pollIntervalMs) == WAIT_OBJECT_0) {
            stopped = true;
            break;
        }
        object->GetStatus(&status);
    }
    QK_LOG_INFO(L"Poll for status done : Calling VekPlugin Stop..");
    object->Stop();
    VekCurrentPlugin::Clear(PluginKind::Installation);

    PluginOutcome outcome;
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (stopped) {
            // A stop during the installation ends the job as stopped, not as a plug-in failure.
            SetState(eStopped);
            return;
        }
        outcome = applyPluginStatus(status, object.Get());
    }
    // Events and reports leave the job's lock first: their receivers may wait for other threads.
    if (outcome.fire) {
        Fire(outcome.event);
    }
    if (outcome.report && m_reporter) {
        m_reporter->logError(static_cast<HRESULT>(outcome.reportCode), true);
    }
}

VekJob::PluginOutcome VekJob::applyPluginStatus(int32_t status, void* pluginObject)
{
    PluginOutcome outcome;
    auto Fire = [&](int32_t event) {
        outcome.fire = true;
        outcome.event = event;
    };
    auto* object = static_cast<IVekPlugin2*>(pluginObject);
    auto errorCode = [&] { return static_cast<int32_t>(object->GetErrorCode()); };
    auto storeCode = [&](int32_t code) { SetJobValue(jobkeys::kJobErrorCode, code); };
    // A failure that leaves no failure code in the node gets one.
    auto ensureFailureCode = [&](HRESULT fallback) {
        const json code = m_manifest->GetJobValue(m_jobIndex, jobkeys::kJobErrorCode);
        if (!code.is_number_integer() || code.get<int32_t>() >= 0) {
            storeCode(static_cast<int32_t>(fallback));
        }
    };
    auto reportError = [&](int32_t code) {
        outcome.report = true;
        outcome.reportCode = code;
    };

    switch (status) {
    case plugin::ePluginFinished:
        QK_LOG_INFO(L"Install completed successfully");
        storeCode(0);
        SetState(eInstallFinished);
        break;
    case plugin::ePluginCancelled:
        QK_LOG_INFO(L"Install was cancelled");
        storeCode(errorCode());
        SetState(eInstallCancelled);
        break;
    case plugin::ePluginUacCancelled:
        QK_LOG_INFO(L"User cancelled UAC");
        storeCode(errorCode());
        SetState(eInstallUACCancelled);
        Fire(eJobInstallUACCancelled);
        break;
    case plugin::ePluginNotStarted:
        QK_LOG_INFO(L"Plugin failed to initiate the installation");
        SetState(eInstallFailed);
        ensureFailureCode(VEK_E_PLUGIN_START);
        // Every failed installation is announced, so that the run can never end as a success.
        Fire(eJobInstallFailed);
        break;
    case plugin::ePluginStopped:
        SetState(eStopped);
        Fire(eJobInstallPluginStopped);
        break;
    case plugin::ePluginIncomplete:
    case plugin::ePluginIncompleteRestart:
        SetState(eInstallIncomplete);
        Fire(eJobInstallIncomplete);
        break;
    case plugin::ePluginPending:
        storeCode(errorCode());
        SetState(eInstallPending);
        Fire(eJobInstallPending);
        break;
    case plugin::ePluginFailed: {
        const int32_t code = errorCode();
        storeCode(code);
        SetState(eInstallFailed);
        ensureFailureCode(E_FAIL);
        Fire(eJobInstallFailed);
        if (m_pluginStage) {
            reportError(code);
        }
        break;
    }
    case plugin::ePluginFailedQuiet:
        // A quiet failure sends no error report of its own, but it is a failure all the same.
        storeCode(errorCode());
        SetState(eInstallFailed);
        ensureFailureCode(E_FAIL);
        Fire(eJobInstallFailed);
        break;
    case plugin::ePluginRetryDownload:
        storeCode(errorCode());
        SetState(eInstallFailed);
        ensureFailureCode(E_FAIL);
        Fire(eJobInstallErrorRetryDownload);
        QK_LOG_ERROR(L"The plugin said the install failed and to retry the download");
        RemoveJobValue(jobkeys::kDownloadDuration);
        break;
    case plugin::ePluginStoppedWithError: {
        const int32_t code = errorCode();
        storeCode(code);
        SetState(eStopped);
        ensureFailureCode(E_FAIL);
        Fire(eJobInstallStopped);
        reportError(code);
        break;
    }
    default:
        // A status outside the contract ends the stage as a failure instead of starting the
        // plug-in again and again.
        QK_LOG_ERROR(L"The plugin reported the unknown status %d", status);
        SetState(eInstallFailed);
        storeCode(static_cast<int32_t>(E_UNEXPECTED));
        Fire(eJobInstallFailed);
        break;
    }
    return outcome;
}

} // namespace vek
