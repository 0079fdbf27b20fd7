#include "services/trust/SignerPolicy.h"

#include <cstring>
#include <string>
#include <vector>

#include "common/objects/IVerifyTrust.h"

namespace qkVerifyTrust {

namespace {

constexpr char kCodeSigning[] = "1.3.6.1.5.5.7.3.3";
constexpr char kSystemComponent[] = "1.3.6.1.4.1.311.10.3.6";
constexpr char kHardwareQuality[] = "1.3.6.1.4.1.311.10.3.5";

// One attribute of the subject (at most 260 characters); empty when absent.
std::wstring Attribute(PCCERT_CONTEXT cert, const char* oid)
{
    wchar_t text[261] = {};
    const DWORD n = CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(oid), text, 261);
    // n counts the terminator: 1 means nothing was found.
    if (n <= 1)
        return {};
    return std::wstring(text);
}

struct Subject {
    std::wstring cn, ou, o, l, st, c;
    explicit Subject(PCCERT_CONTEXT cert)
        : cn(Attribute(cert, szOID_COMMON_NAME)),
          ou(Attribute(cert, szOID_ORGANIZATIONAL_UNIT_NAME)),
          o(Attribute(cert, szOID_ORGANIZATION_NAME)),
          l(Attribute(cert, szOID_LOCALITY_NAME)),
          st(Attribute(cert, szOID_STATE_OR_PROVINCE_NAME)),
          c(Attribute(cert, szOID_COUNTRY_NAME))
    {}
};

} // namespace

DWORD SignerPolicy::CheckSigner(PCCERT_CONTEXT cert, DWORD level, DWORD mode, BYTE* systemComponent,
                                BYTE* hardwareQuality, DWORD* status) const
{
    if (cert == nullptr || level == 0 || mode == 0)
        return VT_INVALID_ARGUMENT;
    BYTE sc = 0, hq = 0;
    DWORD ignoredStatus = 0;
    if (status == nullptr)
        status = &ignoredStatus;
    DWORD result = KeyUsageTest(cert, &sc, &hq);
    if (systemComponent)
        *systemComponent = sc;
    if (hardwareQuality)
        *hardwareQuality = hq;
    if (result != VT_TRUSTED) {
        result = AlternativeSignerTest(cert);
        if (result != VT_TRUSTED)
            return result;
    }
    *status |= VT_STATUS_KEY_USAGE | VT_STATUS_KEY_USAGE2;
    result = VT_TRUSTED;

    const DWORD level3 = Level3Test(cert);
    if (level3 == VT_TRUSTED)
        *status |= VT_STATUS_LEVEL3;
    if (level == 3)
        result = level3;

    const DWORD level4 = Level4Test(cert);
    if (level4 == VT_TRUSTED) {
        *status |= VT_STATUS_LEVEL4;
        if (sc)
            *status |= VT_STATUS_SYSTEM_COMPONENT;
        if (hq)
            *status |= VT_STATUS_HARDWARE_QUALITY;
    }
    if (level == 4)
        result = level4;

    if (level == 5)
        result = Level5Test(cert);
    return result;
}

DWORD SignerPolicy::KeyUsageTest(PCCERT_CONTEXT cert, BYTE* systemComponent, BYTE* hardwareQuality) const
{
    *systemComponent = 0;
    *hardwareQuality = 0;
    DWORD size = 0;
    if (!CertGetEnhancedKeyUsage(cert, 0, nullptr, &size))
        return VT_SIGNER_UNREADABLE;
    std::vector<BYTE> buffer;
    try {
        buffer.resize(size);
    } catch (const std::bad_alloc&) {
        return VT_INTERNAL_FAILURE;
    }
    auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer.data());
    if (!CertGetEnhancedKeyUsage(cert, 0, usage, &size))
        return VT_SIGNER_UNREADABLE;
    bool codeSigning = false, sc = false, hq = false;
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        const char* oid = usage->rgpszUsageIdentifier[i];
        if (oid == nullptr)
            continue;
        codeSigning |= std::strcmp(oid, kCodeSigning) == 0;
        sc |= std::strcmp(oid, kSystemComponent) == 0;
        hq |= std::strcmp(oid, kHardwareQuality) == 0;
    }
    // A certificate without the extension (valid for every usage) lists nothing: code signing is
    // then missing, and only the alternative signer can pass.
    if (!codeSigning)
        return VT_NOT_TRUSTED;
    *systemComponent = sc ? 1 : 0;
    *hardwareQuality = hq ? 1 : 0;
    return VT_TRUSTED;
}

DWORD SignerPolicy::AlternativeSignerTest(PCCERT_CONTEXT cert) const
{
    const DWORD type = CERT_OID_NAME_STR | CERT_NAME_STR_CRLF_FLAG;
    const DWORD size = CertNameToStrW(X509_ASN_ENCODING, &cert->pCertInfo->Subject, type, nullptr, 0);
    if (size == 0)
        return VT_SIGNER_UNREADABLE;
    std::wstring subject;
    try {
        subject.resize(size);
    } catch (const std::bad_alloc&) {
        return VT_INTERNAL_FAILURE;
    }
    if (CertNameToStrW(X509_ASN_ENCODING, &cert->pCertInfo->Subject, type, subject.data(), size) == 0)
        return VT_SIGNER_UNREADABLE;
    subject.resize(wcslen(subject.c_str()));
    // An empty expected name means no alternative signer is configured: nothing matches it.
    if (m_names.alternativeSubject.empty() || subject != m_names.alternativeSubject)
        return VT_NOT_TRUSTED;
    return VT_TRUSTED;
}

DWORD SignerPolicy::Level3Test(PCCERT_CONTEXT cert) const
{
    const Subject s(cert);
    if (s.cn.empty() || s.ou.empty())
        return VT_NOT_TRUSTED;
    if (!m_names.level3Unit.empty() && s.ou == m_names.level3Unit)
        return VT_TRUSTED;
    if (s.o.empty() || s.l.empty() || s.st.empty() || s.c.empty())
        return VT_NOT_TRUSTED;
    auto same = [](const std::wstring& actual, const std::wstring& expected) {
        return !expected.empty() && actual == expected;
    };
    if (same(s.cn, m_names.publisher1Name) &&
        (same(s.o, m_names.publisher1Name) || same(s.o, m_names.publisher1Organisation)))
        return VT_TRUSTED;
    if ((same(s.cn, m_names.publisher2NameA) || same(s.cn, m_names.publisher2NameB)) &&
        (same(s.o, m_names.publisher2Organisation) || same(s.o, m_names.publisher2OrganisationAlt)))
        return VT_TRUSTED;
    return VT_NOT_TRUSTED;
}

DWORD SignerPolicy::Level4Test(PCCERT_CONTEXT cert) const
{
    const Subject s(cert);
    bool unitMatchesFirst = false;
    if (!s.ou.empty()) {
        if (!m_names.level4Second.empty() && s.ou == m_names.level4Second)
            return VT_TRUSTED;
        unitMatchesFirst = !m_names.level4First.empty() && s.ou == m_names.level4First;
    }
    if (s.o.empty())
        return VT_NOT_TRUSTED;
    if ((!m_names.level4First.empty() && s.o == m_names.level4First) || unitMatchesFirst)
        return VT_TRUSTED;
    return VT_NOT_TRUSTED;
}

DWORD SignerPolicy::Level5Test(PCCERT_CONTEXT cert) const
{
    const Subject s(cert);
    if (s.cn.empty() || s.o.empty() || s.l.empty() || s.st.empty() || s.c.empty())
        return VT_NOT_TRUSTED;
    if (!m_names.level5Name.empty() && s.cn == m_names.level5Name && s.o == m_names.level5Name)
        return VT_TRUSTED;
    return VT_NOT_TRUSTED;
}

} // namespace qkVerifyTrust
