// ImportRootCert: puts a certificate (PEM or DER file) into a machine certificate store of the Wine
// prefix it runs in, replacing an existing copy.
//   ImportRootCert <certificate file> [store name, default ROOT]
// The tests' CTest fixture "net_ca_trusted" runs it before any test that needs the test CA; it must
// run in a process of its own because a process sees the store as it was when it started. A Unix
// path (/...) is taken through Wine's Z: drive.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        std::fwprintf(stderr, L"usage: ImportRootCert <certificate file> [store]\n");
        return 2;
    }
    std::wstring path = argv[1];
    if (!path.empty() && path[0] == L'/') {
        for (auto& c : path) {
            if (c == L'/')
                c = L'\\';
        }
        path = L"Z:" + path;
    }
    const wchar_t* storeName = argc > 2 ? argv[2] : L"ROOT";

    std::ifstream file(path.c_str(), std::ios::binary);
    std::vector<char> text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (text.empty()) {
        std::fwprintf(stderr, L"cannot read %ls\n", path.c_str());
        return 1;
    }
    // PEM first; a file without a PEM header is taken as DER.
    std::vector<BYTE> der;
    DWORD size = 0;
    if (CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                             nullptr, nullptr) &&
        size) {
        der.resize(size);
        CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, der.data(), &size,
                             nullptr, nullptr);
        der.resize(size);
    } else {
        der.assign(text.begin(), text.end());
    }

    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, storeName);
    if (!store) {
        std::fwprintf(stderr, L"CertOpenStore(%ls) failed: %lu\n", storeName, GetLastError());
        return 1;
    }
    BOOL ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                               CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    DWORD error = GetLastError();
    CertCloseStore(store, 0);
    if (!ok) {
        std::fwprintf(stderr, L"CertAddEncodedCertificateToStore failed: 0x%08lX\n", error);
        return 1;
    }
    std::wprintf(L"imported %ls into LocalMachine\\%ls\n", path.c_str(), storeName);
    return 0;
}
