#pragma once
// Checks that a file's embedded Authenticode signer has a given subject display name. It does not
// verify the signature itself: callers that need that run the trust verification as well. The
// file stays open, shared for reading only, for the object's lifetime.
#include <windows.h>

#include <string>

#include "common/system/qkHandle.h"

namespace vek {

class CSignerSubjectCheck {
public:
    explicit CSignerSubjectCheck(const wchar_t* path);
    virtual ~CSignerSubjectCheck();
    CSignerSubjectCheck(const CSignerSubjectCheck&) = delete;
    CSignerSubjectCheck& operator=(const CSignerSubjectCheck&) = delete;

    // S_OK when the signer's simple display name equals expected (case-sensitive, whole text),
    // E_FAIL when it differs, else the HRESULT of the failing system call.
    HRESULT Check(const wchar_t* expected);

private:
    std::wstring m_path;
    qkHandle m_file;
};

} // namespace vek
