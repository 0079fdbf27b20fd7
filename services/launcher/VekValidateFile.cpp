#include "services/launcher/VekValidateFile.h"

#include "common/objects/qkQueryInterface.h"

#include <wrl/client.h>

#include <exception>
#include <string>

#include "services/digest/VekSHA256.h"
#include "common/errors/qkLog.h"
#include "services/launcher/VekSilo.h"
#include "services/launcher/VekUtil.h"
#include "services/trust/CSignerSubjectCheck.h"
#include "common/objects/IVerifyTrust.h"
#include "services/trust/TrustOsVersion.h"
#include "services/trust/VerifyFile.h"
#include "services/trust/qkVerifyTrustStatic.h"

namespace vek {

namespace {

// The text of a string member, or false when the member is missing or not a string.
bool StringMember(const nlohmann::json* node, const char* name, std::string& text)
{
    if (node == nullptr || !node->is_object())
        return false;
    const auto it = node->find(name);
    if (it == node->end() || !it->is_string())
        return false;
    text = it->get<std::string>();
    return true;
}

void Store(int32_t* out, int32_t value)
{
    if (out)
        *out = value;
}

// A trust object through the static factory, with its options off and no revocation check;
// false when it cannot be made.
bool CreateTrustObject(Microsoft::WRL::ComPtr<IVerifyTrust>& trust)
{
    Microsoft::WRL::ComPtr<IVerifyTrustOptions> options;
    // The factory's object already carries its reference (mingw-w64's Attach would add another).
    qkAdopt(options, qkVerifyTrustStatic::CreateObject());
    if (!options ||
        options->QueryInterface(IID_IVerifyTrust, reinterpret_cast<void**>(trust.GetAddressOf())) != VT_RC_OK ||
        !trust) {
        return false;
    }
    options->SetOption(0);
    trust->SetCheckRevocation(0);
    return true;
}

HRESULT ValidateFileWithSHA256(const wchar_t* path, const nlohmann::json* node)
{
    try {
        std::string expected;
        if (!StringMember(node, "data", expected)) {
            QK_LOG_ERROR(L"Data node missing Base64 encoded digest");
            return VEK_E_DIGEST_MISSING;
        }
        char digest[64];
        const HRESULT hr = security::CalculateSHA256ForFile(path, digest, sizeof(digest));
        if (FAILED(hr)) {
            QK_LOG_ERROR(L"CalculateSHA256ForFile() failed, hr=0x%08X", static_cast<unsigned>(hr));
            return hr;
        }
        // Exact comparison: the digest is lower-case hexadecimal, 64 characters.
        if (expected.size() == sizeof(digest) && expected.compare(0, sizeof(digest), digest, sizeof(digest)) == 0) {
            QK_LOG_INFO(L"SHA256 of %ls is valid", path);
            return S_OK;
        }
        QK_LOG_ERROR(L"SHA256 of %ls is NOT valid", path);
        return VEK_E_DIGEST_MISMATCH;
    } catch (const std::exception&) {
        QK_LOG_ERROR(L"Caught std::exception");
        return E_UNEXPECTED;
    }
}

// The signer's subject, and then the signature's own validity: the subject check alone reads the
// signer of any signature, also of a file changed after signing.
HRESULT ValidateFileWithSubject(const wchar_t* path, const std::wstring& subject, int32_t* validationError)
{
    CSignerSubjectCheck check(path);
    HRESULT hr = check.Check(subject.c_str());
    if (FAILED(hr)) {
        Store(validationError, hr);
        QK_LOG_ERROR(L"custom signature validation failed, hr=0x%08X", static_cast<unsigned>(hr));
        return hr;
    }
    // Level 1 on that same embedded signature: valid Authenticode by a code-signing certificate,
    // whoever the signer. Never a catalog's signature, whose signer the subject check did not see.
    qkVerifyTrust::VerifyFile::Request request;
    request.path = path;
    request.level = 1;
    request.embeddedOnly = true;
    const DWORD result = qkVerifyTrust::VerifyFile::Verify(request);
    if (result != VT_TRUSTED) {
        Store(validationError, static_cast<int32_t>(result));
        QK_LOG_ERROR(L"custom signature validation failed, signature not valid, validationError=%lu", result);
        return VEK_E_SIGNATURE_NOT_TRUSTED;
    }
    return hr;
}

} // namespace

HRESULT ValidateFileWithTalvernSignature(const wchar_t* path, int32_t* validationError)
{
    HRESULT hr = CheckFileExists(path);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"File %ls does not exist, hr=0x%08X", path ? path : L"(null)", static_cast<unsigned>(hr));
        return hr;
    }
    hr = SelectLauncherSilo();
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"The launcher's silo could not be selected, hr=0x%08X", static_cast<unsigned>(hr));
        return hr;
    }
    Microsoft::WRL::ComPtr<IVerifyTrust> trust;
    if (!CreateTrustObject(trust)) {
        QK_LOG_ERROR(L"spTrust==NULL");
        return VEK_E_TRUST;
    }
    DWORD result = trust->Create(FALSE);
    Store(validationError, static_cast<int32_t>(result));
    if (result != VT_TRUSTED) {
        QK_LOG_ERROR(L"spTrust->Create() failed, validationError=%d", static_cast<int>(result));
        return VEK_E_TRUST;
    }
    result = trust->VerifyFile(path, 3);
    Store(validationError, static_cast<int32_t>(result));
    if (result == VT_TRUSTED)
        return S_OK;
    QK_LOG_ERROR(L"spTrust->VerifyFile() failed, validationError=0x%08X, GetLastError : (%lu) ",
                 static_cast<unsigned>(result), GetLastError());
    return VEK_E_SIGNATURE_NOT_TRUSTED;
}

HRESULT ValidateFile(const wchar_t* path, const nlohmann::json* node, int32_t* validationError)
{
    HRESULT hr = CheckFileExists(path);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"File %ls does not exist", path ? path : L"(null)");
        Store(validationError, hr);
        return hr;
    }
    std::string type;
    const bool hasType = StringMember(node, "type", type);
    if (hasType && type == "sha256") {
        QK_LOG_INFO(L"Attempting to validate %ls with SHA256 digest", path);
        hr = ValidateFileWithSHA256(path, node);
        if (FAILED(hr)) {
            Store(validationError, hr);
            QK_LOG_ERROR(L"ValidateFileWithSHA256() failed, hr=0x%08X", static_cast<unsigned>(hr));
        }
        return hr;
    }
    if (hasType && type == "custom") {
        std::string subject;
        // Fails closed: without a subject, or where the subject check cannot run (before Windows
        // 10), the file must pass the full signature verification instead.
        if (StringMember(node, "subj", subject) && qkVerifyTrust::TrustOsVersion::Current().AtLeast(10, 0)) {
            QK_LOG_INFO(L"Attempting to validate %ls with signature", path);
            return ValidateFileWithSubject(path, FromUtf8(subject), validationError);
        }
        QK_LOG_WARNING(L"custom validation of %ls cannot check a subject: full signature verification", path);
    }
    QK_LOG_INFO(L"Attempting to validate %ls with Talvern signature", path);
    hr = ValidateFileWithTalvernSignature(path, validationError);
    if (FAILED(hr)) {
        Store(validationError, hr);
        QK_LOG_ERROR(L"ValidateFileWithTalvernSignature() failed, hr=0x%08X", static_cast<unsigned>(hr));
    }
    return hr;
}

} // namespace vek
