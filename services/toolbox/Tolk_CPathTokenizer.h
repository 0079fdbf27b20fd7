#pragma once
// Splits a key path into its parts at "\" and "/" ("/" is first turned into "\"), keeping a part
// in double quotes whole (quotes included), and skipping empty parts.
#include <string>
#include <vector>

#include "services/toolbox/Tolk_CCriticalSection.h"

namespace Tolk {

class CPathTokenizer {
public:
    explicit CPathTokenizer(const std::wstring& path);

    size_t Count();
    std::wstring Part(size_t index);
    std::vector<std::wstring> Parts();

private:
    CCriticalSection m_lock;
    std::vector<std::wstring> m_parts;
};

} // namespace Tolk
