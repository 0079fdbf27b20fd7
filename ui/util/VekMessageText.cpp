#include "ui/util/VekMessageText.h"

#include "ui/resources/CVekResourceLoader.h"

#include <cstdint>
#include <limits>

namespace vek {

std::wstring FormatInserts(const std::wstring& pattern, const DWORD_PTR* arguments)
{
    if (pattern.empty())
        return {};
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, pattern.c_str(), 0,
        0, reinterpret_cast<LPWSTR>(&buffer), 0, reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(arguments)));
    std::wstring text;
    if (length != 0 && buffer != nullptr)
        text.assign(buffer, length);
    if (buffer != nullptr)
        ::LocalFree(buffer);
    return text;
}

std::wstring DurationText(long long seconds)
{
    constexpr UINT kSeconds = 142, kMinutesSeconds = 143, kHoursMinutes = 144, kDaysHours = 145;
    if (seconds < 0)
        return {};
    UINT stringId = kHoursMinutes;
    long long first = seconds / 3600;
    long long second = (seconds % 3600) / 60;
    if (seconds <= 60) {
        stringId = kSeconds;
        first = seconds;
        second = 0;
    } else if (seconds <= 3600) {
        stringId = kMinutesSeconds;
        first = seconds / 60;
        second = seconds % 60;
    } else if (seconds > 86400) {
        stringId = kDaysHours;
        first = seconds / 86400;
        second = (seconds % 86400) / 3600;
    }
    // "%1!d!" takes a 32-bit value: more days than that cannot be meant.
    const long long limit = std::numeric_limits<int32_t>::max();
    const DWORD_PTR arguments[] = {static_cast<DWORD_PTR>(first > limit ? limit : first),
                                   static_cast<DWORD_PTR>(second)};
    return FormatInserts(LoadText(stringId), arguments);
}

} // namespace vek
