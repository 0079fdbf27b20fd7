#include "services/trust/CLockedFileVerifier.h"

#include <wrl/client.h>

#include "services/trust/TrustTrace.h"
#include "services/trust/qkVerifyTrustStatic.h"

using Microsoft::WRL::ComPtr;

CLockedFileVerifier::CLockedFileVerifier(TrustObjectSource source)
    : m_source(source ? std::move(source) : TrustObjectSource(&CLockedFileVerifier::CreateTrustObject)) {}

CLockedFileVerifier::~CLockedFileVerifier() { Close(); }

void CLockedFileVerifier::Close() {
  if (m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
  m_file = INVALID_HANDLE_VALUE;
}

HRESULT CLockedFileVerifier::CreateTrustObject(IVerifyTrust** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  ComPtr<IVerifyTrustOptions> options;
  options.Attach(qkVerifyTrustStatic::CreateObject());
  if (!options) return E_OUTOFMEMORY;
  ComPtr<IVerifyTrust> trust;
  if (options->QueryInterface(IID_IVerifyTrust, reinterpret_cast<void**>(trust.GetAddressOf())) != VT_RC_OK || !trust)
    return E_NOINTERFACE;
  if (trust->Create(TRUE) != VT_TRUSTED) {
    TRUST_TRACE(L"Trust object not ready");
    return TRUST_E_SYSTEM_ERROR;
  }
  *out = trust.Detach();
  return S_OK;
}

HRESULT CLockedFileVerifier::VerifyFileTrust(IVerifyTrust* trust, const wchar_t* path, bool strict) {
  if (trust == nullptr) return E_POINTER;
  DWORD result = trust->VerifyFile(path, 3);
  if (result == VT_TRUSTED) return S_OK;
  if (!strict) {
    result = trust->VerifyFile(path, 4);
    if (result == VT_TRUSTED) return S_OK;
  }
  TRUST_TRACE(L"%ls is not trusted, last result %lu", path ? path : L"(null)", result);
  return TRUST_E_SUBJECT_NOT_TRUSTED;
}

HRESULT CLockedFileVerifier::VerifyFile(const wchar_t* path, bool strict) {
  Close();
  if (path == nullptr || *path == L'\0') return HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
  m_file = CreateFileW(path, FILE_READ_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (m_file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    TRUST_TRACE(L"Cannot hold %ls, error %lu", path, error);
    return HRESULT_FROM_WIN32(error);
  }
  ComPtr<IVerifyTrust> trust;
  const HRESULT hr = m_source(trust.GetAddressOf());
  if (FAILED(hr)) {
    TRUST_TRACE(L"No trust object, hr=0x%08X", static_cast<unsigned>(hr));
    return hr;
  }
  if (!trust) return E_POINTER;
  return VerifyFileTrust(trust.Get(), path, strict);
}
