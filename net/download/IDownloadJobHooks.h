#pragma once
// What the download manager needs of the job around it beyond the launcher utilities: the data
// reporter's job-error report. The job supplies it over its data reporter; without one the
// manager only logs the report.
#include <windows.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace vek {

class IDownloadJobHooks {
public:
    virtual ~IDownloadJobHooks() = default;

    // The job-error report (result VEK_E_HTTP_DOWNLOAD, error type 1, "filename=<address>", the file's
    // priority and its failure count).
    virtual void logJobError(HRESULT result, int errorType, nlohmann::json& job, const std::wstring& text, int priority,
                             std::uint32_t failureCount) = 0;
};

} // namespace vek
