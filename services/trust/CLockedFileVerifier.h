#pragma once
// Verifies a file's signature while holding it open for reading with read sharing, and keeps it
// open as long as the verifier lives (or until the next VerifyFile), so that the file cannot be
// replaced or written between the check and its use.
#include <windows.h>

#include <functional>

#include "common/objects/IVerifyTrust.h"

class CLockedFileVerifier {
public:
  // Gives a ready trust object (IVerifyTrust::Create already answered 1) with one reference.
  using TrustObjectSource = std::function<HRESULT(IVerifyTrust** out)>;

  // The default source makes a fresh trust object per verification; program start hands in the
  // registered trust factory of the HTTP client instead.
  explicit CLockedFileVerifier(TrustObjectSource source = {});
  ~CLockedFileVerifier();
  CLockedFileVerifier(const CLockedFileVerifier&) = delete;
  CLockedFileVerifier& operator=(const CLockedFileVerifier&) = delete;

  // S_OK when the file is trusted at level 3, or (not strict) at level 4; TRUST_E_SUBJECT_NOT_TRUSTED
  // when neither; HRESULT_FROM_WIN32 of the open error when the file cannot be held; the source's
  // failure when no trust object can be had. The file stays open whatever the result.
  HRESULT VerifyFile(const wchar_t* path, bool strict);

  // The two-level verification of one file with a trust object.
  static HRESULT VerifyFileTrust(IVerifyTrust* trust, const wchar_t* path, bool strict);
  // A fresh trust object with the registry trust policy applied: 0x80096001 when it is not ready.
  static HRESULT CreateTrustObject(IVerifyTrust** out);

  bool IsHoldingFile() const { return m_file != INVALID_HANDLE_VALUE; }

private:
  void Close();

  TrustObjectSource m_source;
  HANDLE m_file = INVALID_HANDLE_VALUE;
};
