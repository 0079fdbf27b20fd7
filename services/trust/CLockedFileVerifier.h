#pragma once
// Verifies a file's signature while holding it open for reading with read sharing, and keeps it
// open as long as the verifier lives (or until the next VerifyFile), so that the file cannot be
// replaced or written between the check and its use. The trust object comes from the process's
// trust registration (Jux::GetTrustObject).
#include <windows.h>

#include "common/system/qkFile.h"

class CLockedFileVerifier {
public:
    CLockedFileVerifier() = default;
    ~CLockedFileVerifier() = default;
    CLockedFileVerifier(const CLockedFileVerifier&) = delete;
    CLockedFileVerifier& operator=(const CLockedFileVerifier&) = delete;

    // S_OK when the file is trusted at level 3, or (not strict) at level 4; TRUST_E_SUBJECT_NOT_TRUSTED
    // when neither; HRESULT_FROM_WIN32 of the open error when the file cannot be held; the trust
    // registration's failure when no trust object can be had. The file stays open whatever the result.
    HRESULT VerifyFile(const wchar_t* path, bool strict);

    // Lets the held file go.
    void Release() { m_file.Handle().Close(); }

    bool IsHoldingFile() const { return m_file.GetHandle() != nullptr && m_file.GetHandle() != INVALID_HANDLE_VALUE; }

private:
    qkFile m_file;
};
