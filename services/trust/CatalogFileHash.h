#pragma once
// A file's hash as the catalog database knows it: the hash bytes, the member tag (the bytes as
// upper-case hexadecimal) and the handle the hash was computed from.
#include <windows.h>

#include <string>
#include <vector>

#include "services/trust/CatalogContext.h"
#include "services/trust/FileHandle.h"

namespace qkVerifyTrust {

class CatalogFileHash {
public:
    // Opens the file and computes its hash for the context. S_OK, or the trust failure that the
    // verification keeps: TRUST_E_SUBJECT_NOT_TRUSTED when the system refused the parameters (87),
    // TRUST_E_SUBJECT_FORM_UNKNOWN otherwise. An unopenable file gives the open error's HRESULT.
    // Throws std::bad_alloc when out of memory.
    HRESULT Compute(const CatalogContext& context, const wchar_t* path, BYTE keepRedirection);

    const std::vector<BYTE>& Hash() const { return m_hash; }
    const std::wstring& MemberTag() const { return m_memberTag; }
    HANDLE File() const { return m_file.Get(); }

    // The catalog the file was found in (set by the caller).
    std::wstring catalogPath;

private:
    FileHandle m_file;
    std::vector<BYTE> m_hash;
    std::wstring m_memberTag;
};

} // namespace qkVerifyTrust
