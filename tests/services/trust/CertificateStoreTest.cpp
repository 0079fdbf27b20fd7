// Certificates carried as "ROOTC" resources go into the machine's stores; present ones are skipped.
// The resources are written at test time into a copy of the fixture DLL.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "services/trust/InstallResourceCertificates.h"
#include "services/trust/TrustTestSupport.h"

using trust_test::Fixture;

namespace {

std::vector<BYTE> ReadAll(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    std::vector<BYTE> bytes;
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    bytes.resize(GetFileSize(file, nullptr));
    DWORD read = 0;
    ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    bytes.resize(read);
    return bytes;
}

// The SHA-1 thumbprint of a DER certificate as the store's registry key names it.
std::wstring Thumbprint(const std::vector<BYTE>& der)
{
    PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    BYTE hash[20] = {};
    DWORD size = sizeof(hash);
    CertGetCertificateContextProperty(cert, CERT_SHA1_HASH_PROP_ID, hash, &size);
    CertFreeCertificateContext(cert);
    std::wstring text;
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    for (BYTE b : hash) {
        text.push_back(kHex[b >> 4]);
        text.push_back(kHex[b & 0xF]);
    }
    return text;
}

std::wstring StoreKey(const wchar_t* store, const std::wstring& thumbprint)
{
    return std::wstring(L"Software\\Microsoft\\SystemCertificates\\") + store + L"\\Certificates\\" + thumbprint;
}

bool InMachineStore(const wchar_t* store, const std::wstring& thumbprint)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, StoreKey(store, thumbprint).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

void RemoveFromMachineStore(const wchar_t* store, const std::wstring& thumbprint)
{
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, StoreKey(store, thumbprint).c_str());
}

} // namespace

TEST(CertificateStoreTest, ResourceCertificatesGoToTheMachineStore)
{
    const std::vector<BYTE> a = ReadAll(Fixture(L"rootc-a.der"));
    const std::vector<BYTE> bundle = ReadAll(Fixture(L"rootc-bundle.p7b"));
    const std::vector<BYTE> b = ReadAll(Fixture(L"rootc-b.der"));
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());
    ASSERT_FALSE(bundle.empty());
    const std::wstring thumbA = Thumbprint(a), thumbB = Thumbprint(b);
    RemoveFromMachineStore(L"CA", thumbA);
    RemoveFromMachineStore(L"CA", thumbB);

    trust_test::ScratchDir scratch;
    const std::wstring dll = scratch.File(L"carrier.dll");
    ASSERT_TRUE(CopyFileW(Fixture(std::wstring(L"unsigned\\") + trust_test::kPlugin).c_str(), dll.c_str(), FALSE));
    HANDLE update = BeginUpdateResourceW(dll.c_str(), FALSE);
    ASSERT_NE(update, nullptr);
    ASSERT_TRUE(UpdateResourceW(update, L"ROOTC", MAKEINTRESOURCEW(401), 0, const_cast<BYTE*>(a.data()),
                                static_cast<DWORD>(a.size())));
    ASSERT_TRUE(UpdateResourceW(update, L"ROOTC", MAKEINTRESOURCEW(400), 0, const_cast<BYTE*>(bundle.data()),
                                static_cast<DWORD>(bundle.size())));
    ASSERT_TRUE(EndUpdateResourceW(update, FALSE));
    HMODULE module = LoadLibraryExW(dll.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);

    // One certificate, then a bundle holding it and a new one: the present one is skipped.
    EXPECT_EQ(vek::InstallResourceCertificates(module, 401, L"CA"), S_OK);
    EXPECT_TRUE(InMachineStore(L"CA", thumbA));
    EXPECT_FALSE(InMachineStore(L"CA", thumbB));
    EXPECT_EQ(vek::InstallResourceCertificates(module, 400, L"CA"), S_OK);
    EXPECT_TRUE(InMachineStore(L"CA", thumbA));
    EXPECT_TRUE(InMachineStore(L"CA", thumbB));
    EXPECT_EQ(vek::InstallResourceCertificates(module, 400, L"CA"), S_OK); // all present: nothing changes

    // A store that does not exist is not created.
    const wchar_t* noStore = L"VekNoSuchStore";
    EXPECT_TRUE(FAILED(vek::InstallResourceCertificates(module, 401, noStore)));
    HKEY key = nullptr;
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\SystemCertificates\\VekNoSuchStore", 0, KEY_READ,
                            &key),
              ERROR_SUCCESS);
    // A missing resource fails with the system's error.
    const HRESULT missing = vek::InstallResourceCertificates(module, 402, L"CA");
    EXPECT_TRUE(missing == HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND) ||
                missing == HRESULT_FROM_WIN32(ERROR_RESOURCE_TYPE_NOT_FOUND))
        << std::hex << missing;

    FreeLibrary(module);
    RemoveFromMachineStore(L"CA", thumbA);
    RemoveFromMachineStore(L"CA", thumbB);
}
