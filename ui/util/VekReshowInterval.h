#pragma once
// How often a countdown window comes back to the front, in milliseconds, for the seconds left:
// hourly above two hours, then half-hourly, every ten, five, three and two minutes, and every
// minute in the last three.
#include <cstdint>

namespace vek {

constexpr uint64_t ReshowIntervalMilliseconds(uint64_t remainingSeconds)
{
    struct Step {
        uint64_t above;
        uint64_t interval;
    };
    constexpr Step steps[] = {
        {7200, 3600000}, {3600, 1800000}, {1800, 600000}, {600, 300000}, {300, 180000}, {180, 120000},
    };
    for (const Step& step : steps)
        if (remainingSeconds > step.above)
            return step.interval;
    return 60000;
}

} // namespace vek
