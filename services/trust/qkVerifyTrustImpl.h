#pragma once
// The trust-verification object: may this file (process image, module, COM server) be trusted at
// a trust level? A check combines, in order: the optional external hash provider, the
// process-wide cache of verified files, the system's signature and catalog verification, and the
// signer policy of the level. Created by qkVerifyTrustStatic::CreateObject.
#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "common/base/qkCriticalSection.h"
#include "services/trust/HashProvider.h"
#include "common/objects/IVerifyTrust.h"

class qkVerifyTrustPolicy;

class qkVerifyTrustImpl final : public IVerifyTrust, public IVerifyTrustCache, public IVerifyTrustOptions {
public:
    // One reference held by the caller; null when out of memory.
    static qkVerifyTrustImpl* New();

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IVerifyTrust
    DWORD STDMETHODCALLTYPE Create(BOOL applyPolicy) override;
    DWORD STDMETHODCALLTYPE Destroy() override;
    DWORD STDMETHODCALLTYPE VerifyFile(const wchar_t* path, DWORD level) override;
    DWORD STDMETHODCALLTYPE VerifyFileA(const char* path, DWORD level) override;
    DWORD STDMETHODCALLTYPE VerifyProcess(DWORD processId, DWORD level) override;
    DWORD STDMETHODCALLTYPE VerifyCurrentProcess(DWORD level) override;
    DWORD STDMETHODCALLTYPE VerifyParentProcess(DWORD level) override;
    DWORD STDMETHODCALLTYPE VerifyModuleByAddress(const void* address, DWORD level) override;
    DWORD STDMETHODCALLTYPE VerifyModuleByAddressRef(const void* const* address, DWORD level) override;
    DWORD STDMETHODCALLTYPE VerifyModuleByAddress2(const void* address, DWORD level) override;
    DWORD STDMETHODCALLTYPE VerifyComServer(REFCLSID classId, DWORD level) override;
    void STDMETHODCALLTYPE SetEnabled(BYTE enabled) override;
    BYTE STDMETHODCALLTYPE GetEnabled() override;
    void STDMETHODCALLTYPE SetCheckRevocation(BYTE check) override;
    BYTE STDMETHODCALLTYPE GetCheckRevocation() override;
    DWORD STDMETHODCALLTYPE VerifyFileEx(const wchar_t* path, DWORD level, BYTE keepRedirection,
                                         BYTE* systemComponent) override;
    DWORD STDMETHODCALLTYPE VerifyFileExA(const char* path, DWORD level, BYTE keepRedirection,
                                          BYTE* systemComponent) override;
    DWORD STDMETHODCALLTYPE VerifyFileRedirection(const wchar_t* path, DWORD level, BYTE keepRedirection) override;
    DWORD STDMETHODCALLTYPE VerifyFileRedirectionA(const char* path, DWORD level, BYTE keepRedirection) override;
    DWORD STDMETHODCALLTYPE VerifyFileAtLevel4(const wchar_t* path, BYTE keepRedirection) override;
    DWORD STDMETHODCALLTYPE VerifyFileAtLevel4A(const char* path, BYTE keepRedirection) override;

    // IVerifyTrustCache
    void STDMETHODCALLTYPE SetUseCache(BYTE use) override;
    BYTE STDMETHODCALLTYPE GetUseCache() override;
    void STDMETHODCALLTYPE SetCapacity(DWORD count) override;
    DWORD STDMETHODCALLTYPE GetCapacity() override;
    void STDMETHODCALLTYPE Clear() override;
    DWORD STDMETHODCALLTYPE Remove(const wchar_t* path) override;

    // IVerifyTrustOptions: use the hash provider
    void STDMETHODCALLTYPE SetOption(BYTE useHashProvider) override;
    BYTE STDMETHODCALLTYPE GetOption() override;

    // Path normalisation of the checks: "\??\" removed, "\Device\..." mapped to a drive or UNC
    // path, made absolute, and (when the cache is used without the provider) its long form.
    std::wstring NormalisePath(const wchar_t* path) const;

    // Forgets the process-wide "current/parent process trusted at level 3" answers (tests).
    static void ResetProcessFlags();

private:
    qkVerifyTrustImpl();
    ~qkVerifyTrustImpl();

    // The core check every file operation ends in.
    DWORD Check(const wchar_t* path, DWORD level, BYTE keepRedirection, BYTE* systemComponent, DWORD driverPolicy);
    DWORD CheckNarrow(const char* path, DWORD level, BYTE keepRedirection, BYTE* systemComponent, DWORD driverPolicy);
    void LoadHashProvider();
    // The check of the provider DLL's file before it is loaded.
    bool VerifyProviderDll(const wchar_t* path) const;
    static constexpr DWORD kProviderDllLevel = 3;
    std::shared_ptr<qkVerifyTrust::HashProvider> Provider();

    std::atomic<ULONG> m_refs{1};
    BYTE m_enabled = 1;
    BYTE m_useCache = 0;
    BYTE m_useHashProvider = 1;
    BYTE m_checkRevocation = 0;
    qkVerifyTrustPolicy* m_policy = nullptr;
    qkCriticalSection m_providerLock;
    std::shared_ptr<qkVerifyTrust::HashProvider> m_provider;
    std::atomic<LONG> m_providerLoaded{0};
};
