#pragma once
// The two small vocabularies that every layer of the launcher shares about a job: the job state,
// kept in the job's own node as "job_state", and the job event, fired with the job's node through
// the job-event signal. Also the failure classes of "error_type" and the archive plug-in's
// notification type. The tables in VekJobStates.cpp name every value and say who fires it.
#include <cstdint>

namespace vek {

// Job state: a signed 32-bit JSON integer under "job_state". A node without it reads as
// eDownloadError. Values without a name of their own in the launcher carry the names below.
enum VEK_JOB_STATE : int32_t {
    eRestartDownload = -3,
    eDownloadError = -2,
    eInstallFailed = -1, // the installation plug-in reported failure
    ePreProcess = 0,     // constructor; the backend check comes next
    eDownload = 1,
    ePostProcess = 2, // the installation plug-in runs
    eInstallFinished = 3,
    eStopped = 4,
    eInstallCancelled = 5,
    eInstallIncomplete = 6, // plug-in statuses 4 and 5
    eStateUnused7 = 7,      // set by nothing in the launcher
    eRebootRequired = 8,
    eFinished = 9, // ends the job thread's loop
    eArchive = 10,
    eArchiveFinished = 11,
    eInstallPending = 12, // plug-in status 9: the thread keeps re-reading the state
    eInstallUACCancelled = 13,
};

// "error_type": the class of the job's failure.
enum VEK_ERROR_TYPE : int32_t {
    eErrorNone = 0,
    eErrorDownload = 1,       // whenever the state becomes eDownloadError
    eErrorInstall = 2,        // eInstallFailed outside the plug-in stage; plug-in event -3
    eErrorPluginReported = 3, // plug-in event 17
};

// Job event: fired with a reference to the job's node (events 9 to 11: the whole document).
// The job engine interprets -5..28, the user interface values up to 43; an installation plug-in
// may fire any value through its callback, passed on unchanged.
enum VEK_JOB_EVENTS : int32_t {
    eJobInstallStopped = -5,            // plug-in status 8
    eJobInstallErrorRetryDownload = -4, // plug-in status -3
    eJobPluginFailure = -3,             // plug-in callback: failure class, "error_type" 2
    eJobInstallFailed = -2,             // plug-in statuses -1, -2, 0 and unknown ones
    eFatalError = -1,                   // a job exception ended the job
    eJobPreProcess = 0,                 // backend check starts
    eJobFinish = 1,                     // the job thread ends: always the last event of a run
    eJobDownloadStart = 2,              // first received data
    eJobDownloadFinish = 3,             // the downloaded files passed validation
    eJobPluginEvent4 = 4,
    eJobInstallCancelled = 5,
    eJobInstallFinished = 6,
    eJobInstallIncomplete = 7, // plug-in statuses 4 and 5
    eJobPluginEvent8 = 8,
    eEngineStart = 9,     // the engine thread starts
    eEngineJobsDone = 10, // the engine thread ends in engine state 4
    eEngineEnd = 11,      // the engine thread ends, in every engine state
    eFailover = 12,       // the backend check failed
    eJobStopped = 13,
    eJobInstallPluginStopped = 14, // plug-in status 7
    eJobPluginEvent15 = 15,
    eJobPluginEvent16 = 16,
    eJobPluginError = 17, // plug-in callback: "error_type" 3
    eJobInstallUACCancelled = 18,
    eJobDownloadFailed = 19,
    eJobEngineRestartAsAdmin = 20,
    eJobInstallStart = 21, // a negative signal result cancels the installation
    eJobRebootRequired = 22,
    eJobDownloadStageStart = 23,
    eJobRetryInstall = 24, // job window, to the data reporter only
    eJobValidationStart = 25,
    eJobDownloadEvent6 = 26,
    eJobValidationFailed = 27,
    eJobDiskFull = 28,
    eJobRekeyStatus0 = 29, // plug-in callback: "rekey_status" = event - 29
    eJobRekeyStatus1 = 30,
    eJobRekeyStatus2 = 31,
    eJobRetryDownload = 32, // job window, to the data reporter only
    eJobRetryDiskFull = 33, // job window, to the data reporter only
    eJobArchiveStart = 34,
    eJobArchiveFinished = 35,
    eJobInstallPending = 36, // plug-in status 9
    eJobPluginEvent37 = 37,
    eJobPluginEvent38 = 38,
    eJobPluginEvent39 = 39,
    eJobPluginEvent40 = 40,
    eJobPluginEvent41 = 41,
    eJobShowRestartAndUpgradeMessage = 42,
    eJobPluginEvent43 = 43,
};

// The archive plug-in's status notification: every value is accepted and none is interpreted.
using VEK_ARCHIVE_STATUS = int32_t;

// Who fires a job event (a combination of these).
enum JobEventOrigin : uint32_t {
    eOriginJob = 0x1,
    eOriginJobThread = 0x2,
    eOriginPostProcess = 0x4,
    eOriginEngineThread = 0x8,
    eOriginPluginCallback = 0x10,
    eOriginJobWindow = 0x20,
};

struct JobEventInfo {
    int32_t value;
    const wchar_t* name;
    uint32_t origins;   // JobEventOrigin bits
    bool wholeDocument; // fired with the whole Manifest document instead of a job node
};

struct JobStateInfo {
    int32_t value;
    const wchar_t* name;
};

// The row of an event or a state; null for a value outside the tables.
const JobEventInfo* FindJobEvent(int32_t event);
const JobStateInfo* FindJobState(int32_t state);
// The name for log lines; "unknown" outside the tables.
const wchar_t* JobEventName(int32_t event);
const wchar_t* JobStateName(int32_t state);
// The first and last rows, for walks over the whole table.
const JobEventInfo* JobEventTableBegin();
const JobEventInfo* JobEventTableEnd();

// The range the job engine interprets, and the one the user interface does.
constexpr bool IsEngineJobEvent(int32_t event)
{
    return event >= eJobInstallStopped && event <= eJobDiskFull;
}
constexpr bool IsUiJobEvent(int32_t event)
{
    return event >= eJobInstallStopped && event <= eJobPluginEvent43;
}

// The "error_type" that a state change sets, or -1 when it leaves "error_type" as it is.
// `pluginStage`: the installation plug-in stage is running.
int32_t ErrorTypeForState(int32_t state, bool pluginStage);
// The "error_type" that a plug-in event sets, or -1 when it sets none.
int32_t ErrorTypeForPluginEvent(int32_t event);

// The job engine's state (VekJobEngine::GetEngineState). -3, -2 and -1 stick: the engine thread
// never replaces them with 4. A namespace of its own keeps the names apart from the job events
// eFatalError and eFailover.
namespace engine_state {
enum EngineState : int32_t {
    eFatalError = -3,            // the run failed; the user interface offers the log upload
    eFailover = -2,              // the user interface offers the fail-over
    eRetryDownloadAllowed = -1,  // the run ended so that the download can be repeated
    eIdle = 0,                   // constructed
    eBootstrapped = 1,           // bootstrap went through its install section
    eRunning = 2,                // Start built the jobs; the engine thread runs
    eJobsDone = 4,               // every job ran without a failure state
    eCleanedUp = 6,              // CleanUp removed what the run left behind
    eCustomLocationRequired = 7, // the user must choose a package location first
};
} // namespace engine_state

} // namespace vek
