#pragma once
// Interfaces of the trust-verification object: may this file (process image, module, COM server)
// be trusted at a given trust level? The object follows the library's object model: slots 0-2 are
// query-interface, add-reference and release, and query-interface answers the library's own
// result codes (0x00010000 success, 0x80010200 no interface, 0x80010203 null out pointer). Those
// codes keep the HRESULT sign convention, so the interfaces derive from IUnknown and owners such
// as Microsoft::WRL::ComPtr work with them. Every method uses the COM calling convention so that
// DLL loaders built by anyone call them correctly.
#include <windows.h>
#include <unknwn.h>

// Trust results answered by every check.
enum : DWORD {
    VT_TRUSTED = 1,           // trusted at the requested level
    VT_FILE_MISSING = 2,      // the file (or process image) cannot be found or opened
    VT_NOT_TRUSTED = 3,       // not signed, bad signature, or a signer the level does not accept
    VT_SIGNER_UNREADABLE = 4, // the signer information could not be read
    VT_INVALID_ARGUMENT = 5,
    VT_INTERNAL_FAILURE = 6, // allocation failure or a caught exception
    VT_REVOCATION_NOT_CHECKED = 15,
    VT_TIME_STAMP_INVALID = 20,
};

// The library's result codes that query-interface answers.
enum : LONG {
    VT_RC_OK = 0x00010000,
    VT_RC_NO_INTERFACE = static_cast<LONG>(0x80010200),
    VT_RC_INVALID_ARGUMENT = static_cast<LONG>(0x80010203),
};

// {D8F30E00-8F44-44FE-986F-F9BCBDF19F6B}
inline constexpr GUID IID_IVerifyTrust = {0xD8F30E00, 0x8F44, 0x44FE, {0x98, 0x6F, 0xF9, 0xBC, 0xBD, 0xF1, 0x9F, 0x6B}};
// Further ids the object answers with IVerifyTrust (older revisions of the interface).
inline constexpr GUID IID_IVerifyTrust_Alt1 = {
    0x384A2AA1, 0xA17E, 0x4FCF, {0xB5, 0x49, 0xB8, 0xAC, 0xFF, 0x68, 0x73, 0xBD}};
inline constexpr GUID IID_IVerifyTrust_Alt2 = {
    0xBF723183, 0xD246, 0x4806, {0xB1, 0x36, 0x39, 0xD6, 0x4D, 0x9D, 0x8F, 0x3A}};
inline constexpr GUID IID_IVerifyTrust_Alt3 = {
    0x1EBC13D0, 0x85F7, 0x4542, {0x89, 0xD8, 0x43, 0x91, 0x99, 0x57, 0x9D, 0x9F}};
// {17C9B88B-8B72-4F4E-AC70-DE0BDF8AC9FB}
inline constexpr GUID IID_IVerifyTrustCache = {
    0x17C9B88B, 0x8B72, 0x4F4E, {0xAC, 0x70, 0xDE, 0x0B, 0xDF, 0x8A, 0xC9, 0xFB}};
// {5B9E112F-80C3-42A0-A3ED-41DA9EE55FDE}; also the class id of the trust object.
inline constexpr GUID IID_IVerifyTrustOptions = {
    0x5B9E112F, 0x80C3, 0x42A0, {0xA3, 0xED, 0x41, 0xDA, 0x9E, 0xE5, 0x5F, 0xDE}};
inline constexpr GUID CLSID_VerifyTrust = IID_IVerifyTrustOptions;
// {F5D3E553-9157-440E-8C37-E5191B83625A}
inline constexpr GUID IID_IVerifyTrustPolicy = {
    0xF5D3E553, 0x9157, 0x440E, {0x8C, 0x37, 0xE5, 0x19, 0x1B, 0x83, 0x62, 0x5A}};

// Slot order matters: it is the binary interface. Narrow ("A") forms convert from the ANSI code page.
struct IVerifyTrust : public IUnknown {
    virtual DWORD STDMETHODCALLTYPE Create(BOOL applyPolicy) = 0;                                          // 3
    virtual DWORD STDMETHODCALLTYPE Destroy() = 0;                                                         // 4
    virtual DWORD STDMETHODCALLTYPE VerifyFile(const wchar_t* path, DWORD level) = 0;                      // 5
    virtual DWORD STDMETHODCALLTYPE VerifyFileA(const char* path, DWORD level) = 0;                        // 6
    virtual DWORD STDMETHODCALLTYPE VerifyProcess(DWORD processId, DWORD level) = 0;                       // 7
    virtual DWORD STDMETHODCALLTYPE VerifyCurrentProcess(DWORD level) = 0;                                 // 8
    virtual DWORD STDMETHODCALLTYPE VerifyParentProcess(DWORD level) = 0;                                  // 9
    virtual DWORD STDMETHODCALLTYPE VerifyModuleByAddress(const void* address, DWORD level) = 0;           // 10
    virtual DWORD STDMETHODCALLTYPE VerifyModuleByAddressRef(const void* const* address, DWORD level) = 0; // 11
    virtual DWORD STDMETHODCALLTYPE VerifyModuleByAddress2(const void* address, DWORD level) = 0;          // 12
    virtual DWORD STDMETHODCALLTYPE VerifyComServer(REFCLSID classId, DWORD level) = 0;                    // 13
    virtual void STDMETHODCALLTYPE SetEnabled(BYTE enabled) = 0;                                           // 14
    virtual BYTE STDMETHODCALLTYPE GetEnabled() = 0;                                                       // 15
    virtual void STDMETHODCALLTYPE SetCheckRevocation(BYTE check) = 0;                                     // 16
    virtual BYTE STDMETHODCALLTYPE GetCheckRevocation() = 0;                                               // 17
    virtual DWORD STDMETHODCALLTYPE VerifyFileEx(const wchar_t* path, DWORD level, BYTE keepRedirection,
                                                 BYTE* systemComponent) = 0; // 18
    virtual DWORD STDMETHODCALLTYPE VerifyFileExA(const char* path, DWORD level, BYTE keepRedirection,
                                                  BYTE* systemComponent) = 0; // 19
    virtual DWORD STDMETHODCALLTYPE VerifyFileRedirection(const wchar_t* path, DWORD level,
                                                          BYTE keepRedirection) = 0; // 20
    virtual DWORD STDMETHODCALLTYPE VerifyFileRedirectionA(const char* path, DWORD level,
                                                           BYTE keepRedirection) = 0;                  // 21
    virtual DWORD STDMETHODCALLTYPE VerifyFileAtLevel4(const wchar_t* path, BYTE keepRedirection) = 0; // 22
    virtual DWORD STDMETHODCALLTYPE VerifyFileAtLevel4A(const char* path, BYTE keepRedirection) = 0;   // 23
};

struct IVerifyTrustCache : public IUnknown {
    virtual void STDMETHODCALLTYPE SetUseCache(BYTE use) = 0;    // 3
    virtual BYTE STDMETHODCALLTYPE GetUseCache() = 0;            // 4
    virtual void STDMETHODCALLTYPE SetCapacity(DWORD count) = 0; // 5
    virtual DWORD STDMETHODCALLTYPE GetCapacity() = 0;           // 6
    virtual void STDMETHODCALLTYPE Clear() = 0;                  // 7
    // Removes the file's entry: 1 when one was removed, 5 otherwise (and always 5 while the hash
    // provider is in use, whose verdicts are never cached).
    virtual DWORD STDMETHODCALLTYPE Remove(const wchar_t* path) = 0; // 8
};

struct IVerifyTrustOptions : public IUnknown {
    virtual void STDMETHODCALLTYPE SetOption(BYTE useHashProvider) = 0; // 3
    virtual BYTE STDMETHODCALLTYPE GetOption() = 0;                     // 4
};

struct IVerifyTrustPolicy : public IUnknown {
    virtual BYTE STDMETHODCALLTYPE SetPolicy(BYTE value) = 0; // 3: 1 on success
    virtual BYTE STDMETHODCALLTYPE GetPolicy() = 0;           // 4: 0 turns verification off
};
