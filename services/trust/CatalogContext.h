#pragma once
// An administrator context of the system's catalog database. From Windows 8 on it is the
// second-generation context with SHA-256 hashes; before that, or when the system lacks the call,
// the first-generation one with the default algorithm. The second-generation calls are bound at
// run time: a static import would keep the program from starting where they are missing.
#include <windows.h>
#include <wincrypt.h>
#include <mscat.h>

namespace qkVerifyTrust {

class CatalogContext {
public:
    CatalogContext() = default;
    ~CatalogContext();
    CatalogContext(const CatalogContext&) = delete;
    CatalogContext& operator=(const CatalogContext&) = delete;

    // Acquires the context for this system's version. FALSE with the last error set when none.
    BOOL Acquire();

    HCATADMIN Get() const { return m_context; }
    // The context hashes with SHA-256 (the second-generation one).
    bool IsSha256() const { return m_sha256; }
    // The system error of the failed acquisition (0 when none failed).
    DWORD LastError() const { return m_lastError; }

    // The second-generation hash call of WinTrust, or null when the system lacks it.
    using CalcHash2Fn = BOOL(WINAPI*)(HCATADMIN, HANDLE, DWORD*, BYTE*, DWORD);
    static CalcHash2Fn CalcHashFromFileHandle2();

private:
    void Release();

    HCATADMIN m_context = nullptr;
    bool m_sha256 = false;
    DWORD m_lastError = 0;
};

} // namespace qkVerifyTrust
