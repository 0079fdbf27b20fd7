#pragma once
// What the download manager needs of the job around it: the launcher's file validation, the
// per-file failure count, the job-error report of the data reporter, and file priorities. The job
// (engine) supplies them over the launcher utilities and its data reporter.
#include <windows.h>

#include <nlohmann/json.hpp>

#include <string>

namespace vek {

class IDownloadJobHooks {
public:
    virtual ~IDownloadJobHooks() = default;

    // The launcher's rule for accepting a file already on disk (`validation` node of its entry).
    virtual HRESULT ValidateFile(const std::wstring& path, const nlohmann::json& validation, DWORD& error) = 0;
    // Raises and returns the failure count of one file of the job.
    virtual DWORD UpdateFileFailureCount(nlohmann::json& job, const std::wstring& fileName) = 0;
    // The data reporter's job-error report (result 0x80047F12, error type 1, "filename=<address>").
    virtual void logJobError(HRESULT result, int errorType, nlohmann::json& job, const std::wstring& text,
                             int priority, DWORD failureCount) = 0;
};

// `file_priority` of the first `file_array` entry whose `source_file`, else `destination_file`,
// equals the name exactly; 0 when none, or when the value is not a number.
int GetDownloadFilePriority(const std::wstring& name, const nlohmann::json& job);

} // namespace vek
