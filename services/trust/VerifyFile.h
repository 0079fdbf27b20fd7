#pragma once
// The file verification under the trust object: the system's Authenticode verification, the
// security catalogs when the file carries no usable signature of its own, the mapping of the
// outcome to a trust result, then the signer policy of the requested level.
#include <windows.h>

#include <string>

#include "services/trust/SignerNames.h"

namespace qkVerifyTrust {

class VerifyFile {
public:
    struct Request {
        const wchar_t* path = nullptr;
        DWORD level = 0;
        DWORD mode = 1; // 2: revocation of the whole chain is checked
        BYTE keepRedirection = 1;
        BYTE* systemComponent = nullptr; // out: the signer carries the system-component usage
        DWORD driverPolicy = 0;          // 1: driver verification; the signer needs the hardware-quality usage
        bool providerAsked = false;      // the hash provider was asked about the file already
        bool embeddedOnly = false;       // the file's own signature only, never a catalog's
        DWORD status = 0;                // out: VT_STATUS_* bits
    };

    // A trust result (1, 2, 3, 4, 5, 6, 15 or 20). Never throws.
    static DWORD Verify(Request& request, const SignerNames& names = SignerNames::Current());

    // WinVerifyTrust on the file, then (unless embeddedOnly) on the catalogs that hold its hash;
    // the trust result of the final outcome. usedCatalog/catalogPath tell where the accepted
    // signature was found.
    static DWORD FileSignatureCheck(const wchar_t* path, DWORD level, DWORD mode, BYTE keepRedirection,
                                    bool* usedCatalog, std::wstring* catalogPath, DWORD driverPolicy,
                                    bool providerAsked, HRESULT* systemResult = nullptr, bool embeddedOnly = false);

    // The catalog step: the earlier failure of the file's own signature stands unless a catalog
    // that holds the file verifies; sets usedCatalog when a catalog holds it and catalogPath to
    // the one that verified.
    using CatalogCheck = HRESULT (*)(const wchar_t* path, BYTE keepRedirection, DWORD driverPolicy, DWORD mode,
                                     HRESULT earlier, bool* usedCatalog, std::wstring* catalogPath);
    // Replaces the catalog step for the process (tests: Wine has no catalogs); null restores the
    // system's catalogs.
    static void OverrideCatalogCheck(CatalogCheck check);

    // Maps a WinVerifyTrust result to a trust result.
    static DWORD MapResult(HRESULT hr);

    // The failure that a signer chain's error status stands for (S_OK when the chain is sound).
    // WinVerifyTrust may accept a chain that its own chain engine marks as broken (an untrusted
    // root, a certificate not valid for code signing): the signer's chain status tells the truth.
    static HRESULT ChainStatusResult(DWORD errorStatus, DWORD mode);
};

} // namespace qkVerifyTrust
