#include "services/trust/CatalogIterator.h"

namespace qkVerifyTrust {

void CatalogIterator::Collect(const CatalogContext& context, const std::vector<BYTE>& hash)
{
    m_paths.clear();
    m_position = 0;
    m_lastError = 0;
    if (context.Get() == nullptr || hash.empty())
        return;
    std::vector<BYTE> bytes(hash);
    HCATINFO previous = nullptr;
    for (;;) {
        // Each call releases the previous catalog context it is given.
        HCATINFO info = CryptCATAdminEnumCatalogFromHash(context.Get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                                         0, &previous);
        if (info == nullptr) {
            const DWORD error = GetLastError();
            if (error != ERROR_SUCCESS && error != ERROR_NOT_FOUND)
                m_lastError = error;
            break;
        }
        CATALOG_INFO catalog = {};
        catalog.cbStruct = sizeof(catalog);
        if (CryptCATCatalogInfoFromContext(info, &catalog, 0))
            m_paths.emplace_back(catalog.wszCatalogFile);
        previous = info;
    }
    // The call that reached the end released the last context it was given.
}

} // namespace qkVerifyTrust
