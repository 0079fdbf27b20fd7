#include "engine/report/VekDownloadJobReporting.h"

#include "common/errors/qkLog.h"
#include "services/launcher/VekJobKeys.h"

namespace vek {

VekDownloadJobReporting::VekDownloadJobReporting(std::shared_ptr<VekDataReporter> reporter)
    : m_reporter(std::move(reporter))
{}

void VekDownloadJobReporting::logJobError(HRESULT result, int errorType, nlohmann::json& job, const std::wstring& text,
                                          int priority, std::uint32_t failureCount)
{
    if (!m_reporter)
        return;
    if (job.is_object())
        job[jobkeys::kErrorType] = errorType;
    // Reporting never fails the download: whatever goes wrong in it is logged here.
    try {
        m_reporter->logJobError(result, true, job, text.c_str(), priority, static_cast<int>(failureCount));
    } catch (const std::exception&) {
        QK_LOG_ERROR(L"Failed to report job error 0x%08X", result);
    } catch (...) {
        QK_LOG_ERROR(L"Failed to report job error 0x%08X", result);
    }
}

} // namespace vek
