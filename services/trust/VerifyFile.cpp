#include "services/trust/VerifyFile.h"

#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>
#include <mscat.h>

#include <atomic>
#include <chrono>
#include <new>
#include <vector>

#include "common/base/qkExceptionInfo.h"
#include "common/system/qkResourceHolders.h"
#include "common/system/qkWow64FsRedirection.h"
#include "services/trust/CatalogContext.h"
#include "services/trust/CatalogFileHash.h"
#include "services/trust/CatalogIterator.h"
#include "services/trust/FileHandle.h"
#include "common/objects/IVerifyTrust.h"
#include "services/trust/SignerPolicy.h"
#include "services/trust/TrustTrace.h"

namespace qkVerifyTrust {

namespace {

bool IsExpectedOutcome(DWORD result)
{
    return result == 3 || result == 11 || result == 13 || result == 14 || result == 18;
}

DWORD RevocationFlags(DWORD mode)
{
    return mode == 2 ? WTD_REVOKE_WHOLECHAIN : WTD_REVOKE_NONE;
}

// One WinVerifyTrust call with state kept, so that the signer's chain status can be read before
// the state is closed again. A sound answer with a broken chain becomes the chain's failure.
HRESULT CallWinVerifyTrust(WINTRUST_DATA& data, DWORD driverPolicy, DWORD mode)
{
    GUID action = driverPolicy == 1 ? GUID(DRIVER_ACTION_VERIFY) : GUID(WINTRUST_ACTION_GENERIC_VERIFY_V2);
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = RevocationFlags(mode);
    data.dwProvFlags = mode == 2 ? WTD_REVOCATION_CHECK_CHAIN : WTD_REVOCATION_CHECK_NONE;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.hWVTStateData = nullptr;
    const auto start = std::chrono::steady_clock::now();
    HRESULT hr = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    const DWORD lastError = GetLastError();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    if (ms > 500)
        TRUST_TRACE(L"WinVerifyTrust(%ls) took %lld ms", driverPolicy == 1 ? L"driver" : L"generic",
                    static_cast<long long>(ms));
    if (hr == S_OK && data.hWVTStateData != nullptr) {
        CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data.hWVTStateData);
        CRYPT_PROVIDER_SGNR* signer = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
        if (signer == nullptr || signer->pChainContext == nullptr) {
            hr = TRUST_E_NOSIGNATURE; // a verdict without a signer chain is no verdict
        } else {
            hr = VerifyFile::ChainStatusResult(signer->pChainContext->TrustStatus.dwErrorStatus, mode);
        }
    }
    if (hr != S_OK)
        TRUST_TRACE(L"WinVerifyTrust failed, hr=0x%08X, last error %lu", static_cast<unsigned>(hr), lastError);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.hWVTStateData = nullptr;
    return hr;
}

HRESULT VerifyFileSignature(const wchar_t* path, HANDLE file, DWORD driverPolicy, DWORD mode)
{
    WINTRUST_FILE_INFO info = {};
    info.cbStruct = sizeof(info);
    info.pcwszFilePath = path;
    info.hFile = file;
    WINTRUST_DATA data = {};
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &info;
    return CallWinVerifyTrust(data, driverPolicy, mode);
}

// The catalog fallback: the earlier failure stands unless a catalog holding the file verifies.
HRESULT VerifyThroughCatalogs(const wchar_t* path, BYTE keepRedirection, DWORD driverPolicy, DWORD mode,
                              HRESULT earlier, bool* usedCatalog, std::wstring* catalogPath)
{
    CatalogContext context;
    if (!context.Acquire()) {
        TRUST_TRACE(L"No catalog context, error %lu", context.LastError());
        return earlier;
    }
    CatalogFileHash hash;
    const HRESULT hashResult = hash.Compute(context, path, keepRedirection);
    if (FAILED(hashResult)) {
        TRUST_TRACE(L"No catalog hash for %ls, hr=0x%08X", path, static_cast<unsigned>(hashResult));
        return hashResult;
    }
    CatalogIterator catalogs;
    catalogs.Collect(context, hash.Hash());
    if (catalogs.LastError() != 0)
        TRUST_TRACE(L"Catalog enumeration failed, error %lu", catalogs.LastError());
    if (catalogs.Count() == 0) {
        TRUST_TRACE(L"No catalog holds %ls", path);
        return earlier;
    }
    *usedCatalog = true;
    HRESULT last = earlier;
    for (; !catalogs.AtEnd(); catalogs.Next()) {
        FileHandle member;
        if (!keepRedirection && !member.Open(path, keepRedirection)) {
            last = HRESULT_FROM_WIN32(GetLastError());
            continue;
        }
        std::vector<BYTE> bytes(hash.Hash());
        WINTRUST_CATALOG_INFO info = {};
        info.cbStruct = sizeof(info);
        info.pcwszCatalogFilePath = catalogs.Current().c_str();
        info.pcwszMemberTag = hash.MemberTag().c_str();
        info.pcwszMemberFilePath = path;
        info.hMemberFile = member.IsOpen() ? member.Get() : nullptr;
        info.pbCalculatedFileHash = bytes.data();
        info.cbCalculatedFileHash = static_cast<DWORD>(bytes.size());
        info.hCatAdmin = context.Get();
        WINTRUST_DATA data = {};
        data.dwUnionChoice = WTD_CHOICE_CATALOG;
        data.pCatalog = &info;
        last = CallWinVerifyTrust(data, driverPolicy, mode);
        if (last == S_OK) {
            *catalogPath = catalogs.Current();
            return S_OK;
        }
    }
    TRUST_TRACE(L"No catalog verifies %ls, hr=0x%08X", path, static_cast<unsigned>(last));
    return last;
}

std::atomic<VerifyFile::CatalogCheck> g_catalogCheck{nullptr};

} // namespace

void VerifyFile::OverrideCatalogCheck(CatalogCheck check)
{
    g_catalogCheck = check;
}

HRESULT VerifyFile::ChainStatusResult(DWORD errorStatus, DWORD mode)
{
    // Revocation that could not be checked only matters when it was asked for.
    const DWORD revocationUnknown = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
    DWORD status = errorStatus & ~static_cast<DWORD>(CERT_TRUST_IS_NOT_TIME_NESTED);
    if (mode != 2)
        status &= ~revocationUnknown;
    if (status == 0)
        return S_OK;
    if (status & CERT_TRUST_IS_REVOKED)
        return CERT_E_REVOKED;
    if (status & CERT_TRUST_IS_NOT_SIGNATURE_VALID)
        return TRUST_E_CERT_SIGNATURE;
    if (status & CERT_TRUST_IS_UNTRUSTED_ROOT)
        return CERT_E_UNTRUSTEDROOT;
    if (status & CERT_TRUST_IS_PARTIAL_CHAIN)
        return CERT_E_CHAINING;
    if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE)
        return CERT_E_WRONG_USAGE;
    if (status & CERT_TRUST_IS_NOT_TIME_VALID)
        return CERT_E_EXPIRED;
    if (status & revocationUnknown)
        return CERT_E_REVOCATION_FAILURE;
    return CERT_E_CHAINING;
}

DWORD VerifyFile::MapResult(HRESULT hr)
{
    switch (static_cast<DWORD>(hr)) {
    case 0:
        return VT_TRUSTED;
    case static_cast<DWORD>(TRUST_E_SUBJECT_NOT_TRUSTED):
    case static_cast<DWORD>(TRUST_E_BAD_DIGEST):
    case static_cast<DWORD>(TRUST_E_NOSIGNATURE):
        return VT_NOT_TRUSTED;
    case static_cast<DWORD>(TRUST_E_TIME_STAMP):
        return VT_TIME_STAMP_INVALID;
    case static_cast<DWORD>(CERT_E_REVOCATION_FAILURE):
        TRUST_TRACE(L"Revocation could not be checked");
        return VT_REVOCATION_NOT_CHECKED;
    case static_cast<DWORD>(CRYPT_E_SECURITY_SETTINGS): {
        DWORD flags = 0;
        WintrustGetRegPolicyFlags(&flags);
        if (flags & 0x40000) {
            TRUST_TRACE(L"Security settings refuse the file");
            return VT_SIGNER_UNREADABLE;
        }
        return VT_NOT_TRUSTED;
    }
    case static_cast<DWORD>(TRUST_E_PROVIDER_UNKNOWN):
    case static_cast<DWORD>(TRUST_E_ACTION_UNKNOWN):
    case static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN):
        return VT_SIGNER_UNREADABLE;
    default:
        return VT_NOT_TRUSTED;
    }
}

DWORD VerifyFile::FileSignatureCheck(const wchar_t* path, DWORD level, DWORD mode, BYTE keepRedirection,
                                     bool* usedCatalog, std::wstring* catalogPath, DWORD driverPolicy,
                                     bool providerAsked, HRESULT* systemResult, bool embeddedOnly)
{
    bool ignoredFlag = false;
    std::wstring ignoredPath;
    if (usedCatalog == nullptr)
        usedCatalog = &ignoredFlag;
    if (catalogPath == nullptr)
        catalogPath = &ignoredPath;
    *usedCatalog = false;
    catalogPath->clear();
    if (path == nullptr || *path == L'\0')
        return VT_INVALID_ARGUMENT;
    qkExceptionInfo info;
    try {
        FileHandle file;
        if (!keepRedirection && !file.Open(path, keepRedirection))
            return VT_FILE_MISSING;
        HRESULT hr = VerifyFileSignature(path, file.IsOpen() ? file.Get() : nullptr, driverPolicy, mode);
        // At level 3 without the provider a file must carry its own signature, and so must a file
        // whose embedded signer the caller has judged already.
        if (hr != S_OK && !embeddedOnly && (level != 3 || providerAsked)) {
            const CatalogCheck check = g_catalogCheck.load();
            hr = (check ? check : VerifyThroughCatalogs)(path, keepRedirection, driverPolicy, mode, hr, usedCatalog,
                                                         catalogPath);
        }
        if (systemResult)
            *systemResult = hr;
        return MapResult(hr);
    }
    QK_CATCH(info)
    TRUST_TRACE(L"Exception while verifying %ls: %ls", path, info.GetFullText());
    return VT_INTERNAL_FAILURE;
}

DWORD VerifyFile::Verify(Request& request, const SignerNames& names)
{
    request.status = 0;
    if (request.systemComponent)
        *request.systemComponent = 0;
    if (request.path == nullptr || *request.path == L'\0' || request.level == 0 || request.mode == 0) {
        TRUST_TRACE(L"Verify: invalid argument");
        return VT_INVALID_ARGUMENT;
    }
    DWORD result = VT_INTERNAL_FAILURE;
    qkExceptionInfo info;
    try {
        {
            qkWow64FsRedirection redirection;
            if (request.keepRedirection == 0)
                redirection.Enable(false);
            if (GetFileAttributesW(request.path) == INVALID_FILE_ATTRIBUTES)
                return VT_FILE_MISSING;
        }
        bool fromCatalog = false;
        std::wstring catalogPath;
        const DWORD checkResult = FileSignatureCheck(request.path, request.level, request.mode, request.keepRedirection,
                                                     &fromCatalog, &catalogPath, request.driverPolicy,
                                                     request.providerAsked, nullptr, request.embeddedOnly);
        result = checkResult;
        if (checkResult == VT_TRUSTED || request.providerAsked) {
            const std::wstring& signed_ = fromCatalog ? catalogPath : std::wstring(request.path);
            qkCertStore store;
            qkCryptMsg msg;
            BOOL queried;
            {
                qkWow64FsRedirection redirection;
                if (request.keepRedirection == 0 && !fromCatalog)
                    redirection.Enable(false);
                queried = CryptQueryObject(CERT_QUERY_OBJECT_FILE, signed_.c_str(),
                                           CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED |
                                               (fromCatalog ? CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED : 0),
                                           CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, store.Receive(),
                                           msg.Receive(), nullptr);
            }
            if (!queried) {
                if (checkResult == VT_TRUSTED)
                    result = VT_SIGNER_UNREADABLE;
            } else {
                request.status |= VT_STATUS_SIGNATURE_READ | (fromCatalog ? DWORD{VT_STATUS_FROM_CATALOG} : DWORD{0});
                DWORD size = 0;
                std::vector<BYTE> signerInfo;
                if (!CryptMsgGetParam(msg.Get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) || size == 0) {
                    result = VT_SIGNER_UNREADABLE;
                } else {
                    signerInfo.resize(size);
                    if (!CryptMsgGetParam(msg.Get(), CMSG_SIGNER_INFO_PARAM, 0, signerInfo.data(), &size)) {
                        result = VT_SIGNER_UNREADABLE;
                    } else {
                        auto* signer = reinterpret_cast<CMSG_SIGNER_INFO*>(signerInfo.data());
                        CERT_INFO wanted = {};
                        wanted.Issuer = signer->Issuer;
                        wanted.SerialNumber = signer->SerialNumber;
                        qkCertContext cert(CertFindCertificateInStore(store.Get(),
                                                                      X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                                      CERT_FIND_SUBJECT_CERT, &wanted, nullptr));
                        if (!cert) {
                            result = VT_SIGNER_UNREADABLE;
                        } else {
                            request.status |= VT_STATUS_SIGNER_FOUND;
                            BYTE hardwareQuality = 0;
                            BYTE systemComponent = 0;
                            result =
                                SignerPolicy(names).CheckSigner(cert.Get(), request.level, request.mode,
                                                                &systemComponent, &hardwareQuality, &request.status);
                            if (request.systemComponent)
                                *request.systemComponent = systemComponent;
                            if (request.driverPolicy && !hardwareQuality && result == VT_TRUSTED)
                                result = VT_NOT_TRUSTED;
                        }
                    }
                }
            }
            // The provider's doubt stands whatever the signer policy says.
            if (request.providerAsked && checkResult != VT_TRUSTED)
                result = checkResult;
        }
    }
    QK_CATCH(info)
    if (info.HasError())
        result = VT_INTERNAL_FAILURE;
    if (result != VT_TRUSTED) {
        if (request.systemComponent)
            *request.systemComponent = 0;
        if (!IsExpectedOutcome(result))
            TRUST_TRACE(L"Verify %ls: result %lu", request.path, result);
    }
    return result;
}

} // namespace qkVerifyTrust
