#pragma once
// The contract of the trust DLL "qkVrTrst.dll" as the DLL loaders use it: the trust object is
// created by object id and interface id {17C9B88B-...}; it answers IVerifyTrust, whose Create
// makes it ready (1) and whose VerifyFile answers 1 for a trusted file and 3 for a file that
// failed verification. Only the leading slots the loaders call are declared here.
#include <windows.h>
#include <unknwn.h>

// {17C9B88B-8B72-4F4E-AC70-DE0BDF8AC9FB}: the trust object's id and its own interface.
inline constexpr GUID CLSID_VerifyTrustObject = {
    0x17C9B88B, 0x8B72, 0x4F4E, {0xAC, 0x70, 0xDE, 0x0B, 0xDF, 0x8A, 0xC9, 0xFB}};
// {D8F30E00-8F44-44FE-986F-F9BCBDF19F6B}
inline constexpr GUID IID_IVerifyTrust = {
    0xD8F30E00, 0x8F44, 0x44FE, {0x98, 0x6F, 0xF9, 0xBC, 0xBD, 0xF1, 0x9F, 0x6B}};

// Trust results of VerifyFile.
constexpr LONG kVerifyTrustTrusted = 1;
constexpr LONG kVerifyTrustFailed = 3;
// The trust level the loaders check at.
constexpr LONG kVerifyTrustLevelLoader = 3;

struct IVerifyTrust : public IUnknown {
    // 1 when the verifier is ready for use.
    virtual LONG STDMETHODCALLTYPE Create(BOOL applyPolicy) = 0;
    virtual LONG STDMETHODCALLTYPE Destroy() = 0;
    virtual LONG STDMETHODCALLTYPE VerifyFile(LPCWSTR path, LONG level) = 0;
};

// The trust object's own interface (id {17C9B88B-...}): its first operation sets its one-byte option.
struct IVerifyTrustOptions : public IUnknown {
    virtual void STDMETHODCALLTYPE SetOption(BYTE option) = 0;
};
