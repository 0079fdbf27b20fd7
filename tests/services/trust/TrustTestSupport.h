#pragma once
// Shared helpers of the trust tests: where the signing fixtures are, the signer names the
// fixtures' signers match, and scratch files.
#include <windows.h>
#include <wincrypt.h>

#include <cstdlib>
#include <string>

#include "services/trust/SignerNames.h"
#include "services/trust/VerifyFile.h"

namespace trust_test {

// The fixture folder (made by the signing setup test) as a Windows path.
inline std::wstring FixtureDir()
{
    const char* build = std::getenv("VEK_BUILD_DIR");
    std::string unix = std::string(build ? build : "") + "/signing/trust";
    std::wstring path = L"Z:";
    for (char c : unix)
        path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(c));
    return path;
}

inline std::wstring Fixture(const std::wstring& relative)
{
    return FixtureDir() + L"\\" + relative;
}

inline const wchar_t* kPlugin = L"trust_fixture_plugin.dll";
inline const wchar_t* kTool = L"vek_trust_cert.exe";

// Names that the fixtures' signers (tools/signing/make-signing-fixtures.sh) match.
inline qkVerifyTrust::SignerNames TestNames()
{
    qkVerifyTrust::SignerNames n;
    n.alternativeSubject = L"2.5.4.6=US\r\n2.5.4.10=Vek Test Alternative\r\n2.5.4.3=Vek Test Alternative";
    n.level3Unit = L"Vek Test Unit";
    n.publisher1Name = L"Vek Test Publisher";
    n.publisher1Organisation = L"Vek Test Publisher Inc.";
    n.publisher2NameA = L"Vek Test Second";
    n.publisher2NameB = L"Vek Test Second B";
    n.publisher2Organisation = L"Vek Test Second Org";
    n.publisher2OrganisationAlt = L"Vek Test Second Org Alt";
    n.level4First = L"Vek Test Hardware";
    n.level4Second = L"Vek Test Drivers";
    n.level5Name = L"Vek Test Five";
    return n;
}

// The fixture signer's certificate; null when missing. Free with CertFreeCertificateContext.
inline PCCERT_CONTEXT LoadCertificate(const std::wstring& signer)
{
    const std::wstring path = Fixture(signer + L".crt");
    PCCERT_CONTEXT cert = nullptr;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(), CERT_QUERY_CONTENT_FLAG_CERT,
                          CERT_QUERY_FORMAT_FLAG_ALL, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
                          reinterpret_cast<const void**>(&cert)))
        return nullptr;
    return cert;
}

// A scratch folder of its own per test process, removed with its files at the end.
class ScratchDir {
public:
    ScratchDir()
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        m_path = std::wstring(temp) + L"vek-trust-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(++Counter());
        CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~ScratchDir()
    {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((m_path + L"\\*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                    DeleteFileW((m_path + L"\\" + data.cFileName).c_str());
            } while (FindNextFileW(find, &data));
            FindClose(find);
        }
        RemoveDirectoryW(m_path.c_str());
    }
    std::wstring File(const std::wstring& name) const { return m_path + L"\\" + name; }
    const std::wstring& Path() const { return m_path; }

private:
    static int& Counter()
    {
        static int n = 0;
        return n;
    }
    std::wstring m_path;
};

// Installs names for the process and restores the defaults at the end of a scope.
class ScopedSignerNames {
public:
    explicit ScopedSignerNames(const qkVerifyTrust::SignerNames& names = TestNames())
    {
        qkVerifyTrust::SignerNames::SetCurrent(names);
    }
    ~ScopedSignerNames() { qkVerifyTrust::SignerNames::ResetToDefaults(); }
};

// Stands in for a system catalog that lists every file it is asked about and verifies, signed by
// the signer of the file at `catalog` (Wine has no catalogs). Counts the files it was asked about.
class ScopedListingCatalog {
public:
    explicit ScopedListingCatalog(std::wstring catalog)
    {
        Catalog() = std::move(catalog);
        Asked() = 0;
        qkVerifyTrust::VerifyFile::OverrideCatalogCheck(&Check);
    }
    ~ScopedListingCatalog() { qkVerifyTrust::VerifyFile::OverrideCatalogCheck(nullptr); }
    static int& Asked()
    {
        static int asked = 0;
        return asked;
    }

private:
    static std::wstring& Catalog()
    {
        static std::wstring path;
        return path;
    }
    static HRESULT Check(const wchar_t*, BYTE, DWORD, DWORD, HRESULT, bool* usedCatalog, std::wstring* catalogPath)
    {
        ++Asked();
        *usedCatalog = true;
        *catalogPath = Catalog();
        return S_OK;
    }
};

} // namespace trust_test
