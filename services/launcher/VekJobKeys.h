#pragma once
// The spellings of the run-time keys that a run adds to a job node (and of the root member
// "last_error"), in one place. The state file saves them with the node.
namespace vek::jobkeys {

constexpr const char* kJobState = "job_state";                        // integer: VEK_JOB_STATE
constexpr const char* kJobErrorCode = "job_error_code";               // integer: HRESULT bits
constexpr const char* kErrorType = "error_type";                      // integer: VEK_ERROR_TYPE
constexpr const char* kLastDownloadError = "last_download_error";     // integer
constexpr const char* kLastPluginError = "last_plugin_error";         // integer: HRESULT bits
constexpr const char* kIntermediateErrors = "intermediate_errors";    // any JSON value or text
constexpr const char* kValidationError = "validation_error";          // unsigned integer
constexpr const char* kFileSizes = "file_sizes";                      // "path->size|path->size"
constexpr const char* kRekeyStatus = "rekey_status";                  // 0, 1 or 2
constexpr const char* kOtherErrors = "OtherErrors";                   // integer; 404 is tested for
constexpr const char* kDownloadDuration = "download_duration";        // integer
constexpr const char* kDownloadStarted = "download_started";          // value
constexpr const char* kHttpPausedDownload = "HttpPausedDownload";     // object: resumption data
constexpr const char* kDownloadMethod = "download_method";            // text
constexpr const char* kJobErrorDescription = "job_error_description"; // text
constexpr const char* kScheduledVekPath = "scheduled_vek_path";       // text, first job only
constexpr const char* kLastError = "last_error";                      // root member: integer

} // namespace vek::jobkeys
