#include "net/http/Jux_StringUtils.h"

namespace Jux {

std::wstring HexText(const unsigned char* bytes, std::size_t count)
{
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text;
    if (!bytes)
        return text;
    text.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0xF]);
    }
    return text;
}

} // namespace Jux
