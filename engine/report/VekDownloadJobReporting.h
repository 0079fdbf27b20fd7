#pragma once
// The download manager's job reporting over a reporter: a file that keeps failing is reported
// through the reporter's job-error operation (the data reporter, or the ping reporter, which
// turns it into a job-failure ping). The download manager sits below the engine and knows only
// its hook; the job hands it this adapter.
#include "engine/report/VekDataReporter.h"

#include "net/download/IDownloadJobHooks.h"

#include <memory>

namespace vek {

class VekDownloadJobReporting : public IDownloadJobHooks {
public:
    explicit VekDownloadJobReporting(std::shared_ptr<VekDataReporter> reporter);

    // The job node goes to the reporter with the error type set, always with the send flag.
    void logJobError(HRESULT result, int errorType, nlohmann::json& job, const std::wstring& text, int priority,
                     std::uint32_t failureCount) override;

private:
    std::shared_ptr<VekDataReporter> m_reporter;
};

} // namespace vek
