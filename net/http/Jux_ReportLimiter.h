#pragma once
// The daily limit of pinning reports. The counters live in the client settings file, so the limit
// holds across runs: a period starts at "LastInitPingTime" and lasts one day; within it at most
// "MaxPingsForDailyPeriod" reports pass. The count is written before the report goes out, so a
// report that then fails to send still counts.
#include <windows.h>

#include <cstdint>
#include <memory>

namespace Jux {

// One day in 100-nanosecond units.
inline constexpr std::uint64_t kReportPeriod = 864000000000ULL;

// The current UTC time as a file time (100-nanosecond units since 1 January 1601).
class IFileTimeClock {
public:
    virtual ~IFileTimeClock() = default;
    virtual std::uint64_t NowUtc() = 0;
};

// GetSystemTimeAsFileTime.
std::shared_ptr<IFileTimeClock> SystemFileTimeClock();

// true when one more report may be sent now; counts it. Any failure to open the file, to read
// the three values or to write the counter refuses; a maximum of 0 refuses every report.
bool IsReportAllowed(IFileTimeClock& clock);
bool IsReportAllowed();

} // namespace Jux
