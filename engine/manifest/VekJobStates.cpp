#include "engine/manifest/VekJobStates.h"

#include <algorithm>
#include <iterator>

namespace vek {

namespace {

constexpr uint32_t kJob = eOriginJob;
constexpr uint32_t kThread = eOriginJobThread;
constexpr uint32_t kPost = eOriginPostProcess;
constexpr uint32_t kEngine = eOriginEngineThread;
constexpr uint32_t kPlugin = eOriginPluginCallback;
constexpr uint32_t kWindow = eOriginJobWindow;

// One row per event, in value order.
constexpr JobEventInfo kEvents[] = {
    {eJobInstallStopped, L"eJobInstallStopped", kPost, false},
    {eJobInstallErrorRetryDownload, L"eJobInstallErrorRetryDownload", kPost, false},
    {eJobPluginFailure, L"eJobPluginFailure", kPlugin, false},
    {eJobInstallFailed, L"eJobInstallFailed", kPost, false},
    {eFatalError, L"eFatalError", kThread, false},
    {eJobPreProcess, L"eJobPreProcess", kJob, false},
    {eJobFinish, L"eJobFinish", kThread, false},
    {eJobDownloadStart, L"eJobDownloadStart", kJob, false},
    {eJobDownloadFinish, L"eJobDownloadFinish", kJob, false},
    {eJobPluginEvent4, L"eJobPluginEvent4", kPlugin, false},
    {eJobInstallCancelled, L"eJobInstallCancelled", kThread, false},
    {eJobInstallFinished, L"eJobInstallFinished", kThread, false},
    {eJobInstallIncomplete, L"eJobInstallIncomplete", kPost, false},
    {eJobPluginEvent8, L"eJobPluginEvent8", kPlugin, false},
    {eEngineStart, L"eEngineStart", kEngine, true},
    {eEngineJobsDone, L"eEngineJobsDone", kEngine, true},
    {eEngineEnd, L"eEngineEnd", kEngine, true},
    {eFailover, L"eFailover", kJob, false},
    {eJobStopped, L"eJobStopped", kThread, false},
    {eJobInstallPluginStopped, L"eJobInstallPluginStopped", kPost, false},
    {eJobPluginEvent15, L"eJobPluginEvent15", kPlugin, false},
    {eJobPluginEvent16, L"eJobPluginEvent16", kPlugin, false},
    {eJobPluginError, L"eJobPluginError", kPlugin, false},
    {eJobInstallUACCancelled, L"eJobInstallUACCancelled", kPost | kThread, false},
    {eJobDownloadFailed, L"eJobDownloadFailed", kThread, false},
    {eJobEngineRestartAsAdmin, L"eJobEngineRestartAsAdmin", kThread, false},
    {eJobInstallStart, L"eJobInstallStart", kJob, false},
    {eJobRebootRequired, L"eJobRebootRequired", kThread, false},
    {eJobDownloadStageStart, L"eJobDownloadStageStart", kJob, false},
    {eJobRetryInstall, L"eJobRetryInstall", kWindow, false},
    {eJobValidationStart, L"eJobValidationStart", kJob, false},
    {eJobDownloadEvent6, L"eJobDownloadEvent6", kJob, false},
    {eJobValidationFailed, L"eJobValidationFailed", kJob, false},
    {eJobDiskFull, L"eJobDiskFull", kJob, false},
    {eJobRekeyStatus0, L"eJobRekeyStatus0", kPlugin, false},
    {eJobRekeyStatus1, L"eJobRekeyStatus1", kPlugin, false},
    {eJobRekeyStatus2, L"eJobRekeyStatus2", kPlugin, false},
    {eJobRetryDownload, L"eJobRetryDownload", kWindow, false},
    {eJobRetryDiskFull, L"eJobRetryDiskFull", kWindow, false},
    {eJobArchiveStart, L"eJobArchiveStart", kJob, false},
    {eJobArchiveFinished, L"eJobArchiveFinished", kThread, false},
    {eJobInstallPending, L"eJobInstallPending", kPost, false},
    {eJobPluginEvent37, L"eJobPluginEvent37", kPlugin, false},
    {eJobPluginEvent38, L"eJobPluginEvent38", kPlugin, false},
    {eJobPluginEvent39, L"eJobPluginEvent39", kPlugin, false},
    {eJobPluginEvent40, L"eJobPluginEvent40", kPlugin, false},
    {eJobPluginEvent41, L"eJobPluginEvent41", kPlugin, false},
    {eJobShowRestartAndUpgradeMessage, L"eJobShowRestartAndUpgradeMessage", kPlugin, false},
    {eJobPluginEvent43, L"eJobPluginEvent43", kPlugin, false},
};

constexpr JobStateInfo kStates[] = {
    {eRestartDownload, L"eRestartDownload"},
    {eDownloadError, L"eDownloadError"},
    {eInstallFailed, L"eInstallFailed"},
    {ePreProcess, L"ePreProcess"},
    {eDownload, L"eDownload"},
    {ePostProcess, L"ePostProcess"},
    {eInstallFinished, L"eInstallFinished"},
    {eStopped, L"eStopped"},
    {eInstallCancelled, L"eInstallCancelled"},
    {eInstallIncomplete, L"eInstallIncomplete"},
    {eStateUnused7, L"eStateUnused7"},
    {eRebootRequired, L"eRebootRequired"},
    {eFinished, L"eFinished"},
    {eArchive, L"eArchive"},
    {eArchiveFinished, L"eArchiveFinished"},
    {eInstallPending, L"eInstallPending"},
    {eInstallUACCancelled, L"eInstallUACCancelled"},
};

template <typename Row, size_t N>
const Row* FindRow(const Row (&rows)[N], int32_t value)
{
    const auto it =
        std::find_if(std::begin(rows), std::end(rows), [value](const Row& row) { return row.value == value; });
    return it == std::end(rows) ? nullptr : it;
}

} // namespace

const JobEventInfo* FindJobEvent(int32_t event)
{
    return FindRow(kEvents, event);
}

const JobStateInfo* FindJobState(int32_t state)
{
    return FindRow(kStates, state);
}

const wchar_t* JobEventName(int32_t event)
{
    const JobEventInfo* row = FindJobEvent(event);
    return row != nullptr ? row->name : L"unknown";
}

const wchar_t* JobStateName(int32_t state)
{
    const JobStateInfo* row = FindJobState(state);
    return row != nullptr ? row->name : L"unknown";
}

const JobEventInfo* JobEventTableBegin()
{
    return std::begin(kEvents);
}

const JobEventInfo* JobEventTableEnd()
{
    return std::end(kEvents);
}

int32_t ErrorTypeForState(int32_t state, bool pluginStage)
{
    if (state == eDownloadError) {
        return eErrorDownload;
    }
    if (state == eInstallFailed) {
        return pluginStage ? eErrorNone : eErrorInstall;
    }
    return -1;
}

int32_t ErrorTypeForPluginEvent(int32_t event)
{
    if (event == eJobPluginFailure) {
        return eErrorInstall;
    }
    if (event == eJobPluginError) {
        return eErrorPluginReported;
    }
    return -1;
}

} // namespace vek
