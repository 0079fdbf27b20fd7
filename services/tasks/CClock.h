#pragma once
// The current time as seconds since 1970, replaceable in tests.
#include <cstdint>
#include <ctime>

namespace vek {

class CClock {
public:
    virtual ~CClock() = default;
    virtual std::int64_t Now() { return static_cast<std::int64_t>(std::time(nullptr)); }
};

} // namespace vek
