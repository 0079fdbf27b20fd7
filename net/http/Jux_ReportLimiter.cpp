#include "net/http/Jux_ReportLimiter.h"

#include "common/base/qkTrace.h"
#include "net/http/Jux_HTTPClientSettings.h"

namespace Jux {
namespace {

class CSystemFileTimeClock : public IFileTimeClock {
public:
    std::uint64_t NowUtc() override
    {
        FILETIME now{};
        GetSystemTimeAsFileTime(&now);
        return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    }
};

} // namespace

std::shared_ptr<IFileTimeClock> SystemFileTimeClock()
{
    static const auto clock = std::make_shared<CSystemFileTimeClock>();
    return clock;
}

bool IsReportAllowed(IFileTimeClock& clock)
{
    // The counters must reach the file, so it is opened writable. The writes change the section
    // objects only; the settings object's end writes them back and then closes the file.
    CHTTPClientSettings settings;
    if (FAILED(settings.Open(true))) {
        QK_TRACE(L"client settings not open: no report");
        return false;
    }
    std::uint64_t periodStart = 0;
    DWORD maximum = 0, count = 0;
    if (FAILED(settings.GetLastInitPingTime(periodStart)) || FAILED(settings.GetMaxPingsForDailyPeriod(maximum)) ||
        FAILED(settings.GetCurrentDailyPingCount(count))) {
        QK_TRACE(L"report counters unreadable: no report");
        return false;
    }
    if (maximum == 0)
        return false;
    const std::uint64_t now = clock.NowUtc();
    if (periodStart <= UINT64_MAX - kReportPeriod && now >= periodStart + kReportPeriod) {
        // A new period begins with this report.
        return SUCCEEDED(settings.SetCurrentDailyPingCount(1)) && SUCCEEDED(settings.SetLastInitPingTime(now));
    }
    if (count < maximum)
        return SUCCEEDED(settings.SetCurrentDailyPingCount(count + 1));
    return false;
}

bool IsReportAllowed()
{
    return IsReportAllowed(*SystemFileTimeClock());
}

} // namespace Jux
