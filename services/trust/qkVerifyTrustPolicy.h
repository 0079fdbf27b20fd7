#pragma once
// The registry trust policy: HKLM\<silo registry path>\Keel Core\qkVerifyTrust, DWORD
// "AlternateTrustPolicy" (0 turns verification off for trust objects created with policy).
// The object form answers IVerifyTrustPolicy for the trust object.
#include <windows.h>

#include <atomic>
#include <functional>
#include <string>

#include "common/objects/IVerifyTrust.h"

class qkVerifyTrustPolicy final : public IVerifyTrustPolicy {
public:
    static qkVerifyTrustPolicy* Create(); // one reference held by the caller; null when out of memory

    // IUnknown (the library's result codes)
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // IVerifyTrustPolicy
    BYTE STDMETHODCALLTYPE SetPolicy(BYTE value) override;
    BYTE STDMETHODCALLTYPE GetPolicy() override;

    // The registry operations, with or without the alternate policy.
    static BYTE GetPolicy(BYTE alternate);
    static BYTE SetPolicy(BYTE alternate, BYTE value);

    // Replaces the isolation's silo registry path and registry view flags (tests); an empty path
    // means no policy key.
    static void SetSiloRegistryPath(std::wstring path, REGSAM viewFlags = 0);
    // Forgets the cached policy (tests).
    static void ResetCache();

private:
    qkVerifyTrustPolicy() = default;
    ~qkVerifyTrustPolicy() = default;
    static std::wstring KeyPath();

    std::atomic<ULONG> m_refs{1};
    BYTE m_alternate = 1;
};
