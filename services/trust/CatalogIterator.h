#pragma once
// The catalogs that contain a hash, in the order the system enumerates them.
#include <windows.h>

#include <string>
#include <vector>

#include "services/trust/CatalogContext.h"

namespace qkVerifyTrust {

class CatalogIterator {
public:
    // Collects the full paths of every catalog holding the hash. The end of the enumeration (no
    // error, or ERROR_NOT_FOUND) is normal; another error is kept in LastError().
    void Collect(const CatalogContext& context, const std::vector<BYTE>& hash);

    bool AtEnd() const { return m_position >= m_paths.size(); }
    const std::wstring& Current() const { return m_paths[m_position]; }
    void Next() { ++m_position; }
    size_t Count() const { return m_paths.size(); }
    DWORD LastError() const { return m_lastError; }

private:
    std::vector<std::wstring> m_paths;
    size_t m_position = 0;
    DWORD m_lastError = 0;
};

} // namespace qkVerifyTrust
