// Test helper: adds a certificate file to a system store of the local machine, or removes it.
//   vek_trust_cert add <store> <file>      (PEM or DER)
//   vek_trust_cert remove <store> <file>
//   vek_trust_cert has <store> <file>      exit code 0 when present, 1 when not
// Used by the signing fixtures to trust the test code-signing CA in the Wine prefix.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4) {
        fwprintf(stderr, L"usage: vek_trust_cert add|remove|has <store> <certificate file>\n");
        return 2;
    }
    const wchar_t* action = argv[1];
    PCCERT_CONTEXT cert = nullptr;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, argv[3], CERT_QUERY_CONTENT_FLAG_CERT, CERT_QUERY_FORMAT_FLAG_ALL, 0,
                          nullptr, nullptr, nullptr, nullptr, nullptr, reinterpret_cast<const void**>(&cert))) {
        fwprintf(stderr, L"cannot read %ls: error %lu\n", argv[3], GetLastError());
        return 3;
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, argv[2]);
    if (store == nullptr) {
        fwprintf(stderr, L"cannot open store %ls: error %lu\n", argv[2], GetLastError());
        CertFreeCertificateContext(cert);
        return 4;
    }
    int rc = 0;
    PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr);
    if (wcscmp(action, L"add") == 0) {
        if (!CertAddCertificateContextToStore(store, cert, CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
            fwprintf(stderr, L"cannot add: error %lu\n", GetLastError());
            rc = 5;
        }
    } else if (wcscmp(action, L"remove") == 0) {
        if (found) {
            if (!CertDeleteCertificateFromStore(found))
                rc = 5; // frees found
            found = nullptr;
        }
    } else if (wcscmp(action, L"has") == 0) {
        rc = found ? 0 : 1;
    } else {
        rc = 2;
    }
    if (found)
        CertFreeCertificateContext(found);
    CertCloseStore(store, 0);
    CertFreeCertificateContext(cert);
    return rc;
}
