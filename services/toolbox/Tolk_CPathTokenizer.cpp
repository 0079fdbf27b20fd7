#include "services/toolbox/Tolk_CPathTokenizer.h"

namespace Tolk {

namespace {

class Locked {
public:
    explicit Locked(CCriticalSection& lock) : m_lock(lock) { m_lock.Lock(); }
    ~Locked() { m_lock.Unlock(); }

private:
    CCriticalSection& m_lock;
};

} // namespace

CPathTokenizer::CPathTokenizer(const std::wstring& path)
{
    Locked guard(m_lock);
    std::wstring part;
    bool quoted = false;
    for (wchar_t c : path) {
        if (c == L'/')
            c = L'\\';
        if (c == L'"')
            quoted = !quoted;
        if (c == L'\\' && !quoted) {
            if (!part.empty())
                m_parts.push_back(part);
            part.clear();
            continue;
        }
        part.push_back(c);
    }
    if (!part.empty())
        m_parts.push_back(part);
}

size_t CPathTokenizer::Count()
{
    Locked guard(m_lock);
    return m_parts.size();
}

std::wstring CPathTokenizer::Part(size_t index)
{
    Locked guard(m_lock);
    return index < m_parts.size() ? m_parts[index] : std::wstring();
}

std::vector<std::wstring> CPathTokenizer::Parts()
{
    Locked guard(m_lock);
    return m_parts;
}

} // namespace Tolk
