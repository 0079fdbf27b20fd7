#pragma once
// The launcher's result codes and process exit codes: one table each, every value written once.
// The result codes are HRESULTs of one family: severity failure, facility 4 (interface-defined),
// codes from 0x7E00 upwards, so every value is 0x80047E00 + n. Each row gives the code's name and
// meaning; every subsystem that returns one of these codes takes it from here.
#include <windows.h>

#include <cstdint>
#include <span>

namespace vek {

// X(name, offset from 0x80047E00, meaning)
#define VEK_RESULT_CODES(X)                                                                                      \
    X(VEK_E_STATE_FILE_MISSING, 0x000, L"manifest or saved state missing, unreadable or without an install job") \
    X(VEK_E_JSON_NOT_PARSED, 0x001, L"manifest or state not parsed, not an object, or without an install job")   \
    X(VEK_E_DIGEST_MISMATCH, 0x002, L"a file's SHA-256 digest does not match its manifest entry")                \
    X(VEK_E_SIGNATURE_NOT_TRUSTED, 0x003, L"a file failed the verification with the maker's trust component")    \
    X(VEK_E_SILO_ID_NOT_SET, 0x004, L"the isolation silo's identifier could not be set")                         \
    X(VEK_E_TRUST, 0x005, L"the trust-verification object could not be created or failed")                       \
    X(VEK_E_MANIFEST_NOT_UTF8, 0x006, L"the manifest text starts with a UTF-16 or UTF-32 byte-order mark")       \
    X(VEK_E_STATE_CRC_MISMATCH, 0x00A, L"the state file's checksum does not match")                              \
    X(VEK_E_FILE_NOT_FOUND, 0x00B, L"a file or folder is missing")                                               \
    X(VEK_E_SILO_ROOT_NOT_SET, 0x00C, L"the isolation silo's registry root could not be set")                    \
    X(VEK_E_STATE_FILE_NOT_READ, 0x00D, L"reading a JSON file failed")                                           \
    X(VEK_E_NOT_ADMIN, 0x00E, L"administrator rights required")                                                  \
    X(VEK_E_PREREQUISITES, 0x00F, L"operating system not supported")                                             \
    X(VEK_E_CLEANUP, 0x010, L"the bootstrap ended in clean-up")                                                  \
    X(VEK_E_BOOTSTRAP_VERIFY, 0x011, L"the launcher copy failed its verification")                               \
    X(VEK_E_DIGEST_MISSING, 0x012, L"the validation node holds no digest")                                       \
    X(VEK_E_NO_CC_TOKEN, 0x013, L"no usable connection token in the manifest")                                   \
    X(VEK_E_NO_INSTALL_OPTIONS, 0x014, L"the endpoint product's install options are missing")                    \
    X(VEK_E_TRAY_WINDOW, 0x027, L"the tray window could not be created")                                         \
    X(VEK_E_ANOTHER_INSTANCE, 0x028, L"another instance holds the single-instance lock")                         \
    X(VEK_E_INSTANCE_WAIT, 0x02C, L"the instance wait gave up and the failure count was not recorded")           \
    X(VEK_E_FAILURE_COUNT, 0x02D, L"the FailureCount registry value could not be written")                       \
    X(VEK_E_SHORTCUT_DESKTOP, 0x041, L"the desktop folder for a shortcut is unknown")                            \
    X(VEK_E_FOLDER_APPDATA, 0x042, L"the user's application-data folder is unknown")                             \
    X(VEK_E_SHORTCUT_PROGRAMS, 0x043, L"the programs folder for a shortcut is unknown")                          \
    X(VEK_E_FOLDER_DOCUMENTS, 0x044, L"the documents folder is unknown")                                         \
    X(VEK_E_FOLDER_COMMON_DOCUMENTS, 0x045, L"the common documents folder is unknown")                           \
    X(VEK_E_FOLDER_UNEXPANDED, 0x047, L"a folder name did not expand")                                           \
    X(VEK_E_STATE_FILE, 0x048, L"the state file could not be opened for writing")                                \
    X(VEK_E_RUN_LOCATION, 0x04A, L"the run location is empty")                                                   \
    X(VEK_E_DOWNLOAD_FOLDER, 0x04B, L"the download folder is empty")                                             \
    X(VEK_E_RUN_VALUE_OPEN, 0x04C, L"the Run key could not be opened")                                           \
    X(VEK_E_RUN_VALUE_WRITE, 0x04D, L"the Run value could not be written")                                       \
    X(VEK_E_RELAUNCH, 0x04E, L"the launcher copy could not be started")                                          \
    X(VEK_E_RUN_VALUE_DELETE, 0x04F, L"the Run value could not be deleted")                                      \
    X(VEK_E_SHORTCUT_FILE_SYSTEM, 0x051, L"a file-system error while handling shortcuts")                        \
    X(VEK_E_FILE_SYSTEM, 0x053, L"a file-system error")                                                          \
    X(VEK_E_JOB_INDEX, 0x055, L"job index out of range")                                                         \
    X(VEK_E_EXPAND_ENVIRONMENT, 0x059, L"the manifest environment did not expand")                               \
    X(VEK_E_EXPAND_JOB_ENVIRONMENT, 0x05A, L"a job environment did not expand")                                  \
    X(VEK_E_PATH_TOO_LONG, 0x05E, L"a path of 260 characters or more")                                           \
    X(VEK_E_REBOOT_COUNT, 0x062, L"the reboot count passed its limit")                                           \
    X(VEK_E_ENGINE_THREAD_MEMORY, 0x064, L"the engine thread ran out of memory")                                 \
    X(VEK_E_ENGINE_THREAD_COM, 0x065, L"the engine thread could not enter COM")                                  \
    X(VEK_E_JOB_EVENT, 0x066, L"job-event handling failed")                                                      \
    X(VEK_E_REPORTER_REQUEST, 0x081, L"a data-reporter request failed")                                          \
    X(VEK_E_REPORTER_STATUS, 0x082, L"a data-reporter request got an unexpected status")                         \
    X(VEK_E_REPORTER_INITIALIZE, 0x083, L"the data reporter's client did not initialise")                        \
    X(VEK_E_REPORTER_EXCEPTION, 0x084, L"an exception inside a data-reporter call")                              \
    X(VEK_E_REPORTER_FAILED, 0x085, L"a data-reporter operation failed")                                         \
    X(VEK_E_REPORTER_MODULE_PATH, 0x087, L"the module path could not be split, or a ping failed")                \
    X(VEK_E_MANIFEST_NOT_IN_PACKAGE, 0x0A2, L"the manifest could not be extracted from the appended package")    \
    X(VEK_E_PLUGIN_LOADER, 0x0C1, L"Cannot initialize plugin loader")                                            \
    X(VEK_E_PLUGIN_START, 0x0C2, L"Cannot start plugin")                                                         \
    X(VEK_E_PLUGIN_CREATE, 0x0C3, L"Cannot create plugin object")                                                \
    X(VEK_E_PLUGIN_SIGNATURE, 0x0C4, L"Invalid digital signature")                                               \
    X(VEK_E_PLUGIN_NOT_IN_MANIFEST, 0x0C5, L"Unable to find plugin in manifest")                                 \
    X(VEK_E_DOWNLOAD_FAILED, 0x0C6, L"a job's download failed")                                                  \
    X(VEK_E_INSTALL_CANCELLED, 0x0C7, L"the installation was cancelled")                                         \
    X(VEK_E_ARCHIVE_LOADER, 0x0C8, L"the archive plug-in could not be loaded")                                   \
    X(VEK_E_ARCHIVE_CREATE, 0x0C9, L"the archive object could not be created")                                   \
    X(VEK_E_UNKNOWN_JOB_EXCEPTION, 0x0CA, L"no \"job_archive\" entry, or an unknown job exception")              \
    X(VEK_E_ARCHIVE_FAILED, 0x0CB, L"the archive plug-in failed")                                                \
    X(VEK_E_BACKEND_CHECK, 0x0CD, L"the backend check failed")                                                   \
    X(VEK_NOT_GIVEN, 0x0E0, L"no failure: a file priority or failure count that is not given")                   \
    X(VEK_E_DOWNLOAD_CALL_FAILED, 0x0EB, L"a download call failed")                                              \
    X(VEK_E_HTTP_DOWNLOAD, 0x112, L"an HTTP answer with an unwanted status")                                     \
    X(VEK_E_PLUGIN_INTERMEDIATE, 0x130, L"the installation plug-in reported intermediate errors")

constexpr HRESULT VekResultCode(uint32_t offset)
{
    return static_cast<HRESULT>(0x80047E00u + offset);
}

#define VEK_DEFINE_RESULT_CODE(name, offset, meaning) constexpr HRESULT name = VekResultCode(offset);
VEK_RESULT_CODES(VEK_DEFINE_RESULT_CODE)
#undef VEK_DEFINE_RESULT_CODE

struct ResultCodeInfo {
    HRESULT value;
    const wchar_t* name;
    const wchar_t* meaning;
};

// Every result code, in value order.
std::span<const ResultCodeInfo> ResultCodes();
// The row of a launcher result code, or null for any other value.
const ResultCodeInfo* FindResultCode(HRESULT value);

// Process exit codes (the value that wWinMain returns). Besides these the exit code may be an
// end page's number (EndPage below), an HRESULT (a failed COM or factory start, the companion
// installation's result) or ExitUnsupportedProcessor.
// X(name, value, situation)
#define VEK_EXIT_CODES(X)                                                                                      \
    X(ExitNormal, 0, L"normal end; the job window resets it when the user retries")                            \
    X(ExitJobEvent36, 1, L"the main dialog handled job event 36")                                              \
    X(ExitJobEvent7, 2, L"the main dialog handled job event 7")                                                \
    X(ExitPrerequisites, 3, L"prerequisites not met, or the copy could not be started in the user session")    \
    X(ExitSilentJobResult, 6, L"a job result handled in silent mode")                                          \
    X(ExitUserQuit, 8, L"the user confirmed the exit, or quit from the tray")                                  \
    X(ExitAnotherInstance, 9, L"another instance is running")                                                  \
    X(ExitRestartForUpgrade, 12, L"the user chose to restart for the upgrade")                                 \
    X(ExitRelaunched, 13, L"this process started a copy of the launcher and ends")                             \
    X(ExitAutomaticUpgradeDisabled, 14, L"the upgrade cannot go on: automatic upgrade is disabled")            \
    X(ExitNoConnectionToken, 15, L"no usable connection token")                                                \
    X(ExitBootstrapFromDialog, 16, L"the bootstrap started from the main dialog failed, or no package folder") \
    X(ExitOmblNotForThisSystem, 17, L"the OMBL installer is not available for this operating system")          \
    X(ExitOmblWithoutProduct, 19, L"a package with only the OMBL component, without the endpoint product")     \
    X(ExitPartialFailover, 20, L"a silent run ended on the failover page after some components failed")        \
    X(ExitUnsupportedProcessor, static_cast<int32_t>(0xC000001D), L"the processor lacks SSE or SSE2")

enum ExitCode : int32_t {
#define VEK_DEFINE_EXIT_CODE(name, value, situation) name = value,
    VEK_EXIT_CODES(VEK_DEFINE_EXIT_CODE)
#undef VEK_DEFINE_EXIT_CODE
};

struct ExitCodeInfo {
    int32_t value;
    const wchar_t* name;
    const wchar_t* situation;
};

// The main dialog's end pages. Showing a page sets the exit code to the page's number, so each
// number is an exit code too; where an exit code above stands for the same end, the page takes
// its value from there.
enum EndPage : int32_t {
    PageAttention = ExitPrerequisites,
    PageAttentionAfterSuccess = 4, // a job had succeeded before the failure
    PageAlreadyInstalled = 5,
    PageReDownload = 6,
    PagePackageCreated = 7,
    PageReEnrollmentInitiated = 10,
    PageRestartCountdown = ExitRestartForUpgrade,
    PagePrerequisite = ExitNoConnectionToken, // no usable connection token, or plug-in event 41
    PageOmblNotForThisSystem = ExitOmblNotForThisSystem,
    PageBackendNotReachable = 18,
    PageOmblWithoutProduct = ExitOmblWithoutProduct,
};

// Every named exit code, in the table's order.
std::span<const ExitCodeInfo> ExitCodes();
const ExitCodeInfo* FindExitCode(int32_t value);

// The exit codes after which a run started by the deployment package removes that package:
// 3, 4, 8, 11, 15, 17, 18, 19.
bool IsDeploymentRemovalExitCode(int32_t exitCode);
// The exit codes whose final message a silent run suppresses: 2, 3, 4, 6, 8, 18.
bool IsSilentExitCode(int32_t exitCode);

} // namespace vek
