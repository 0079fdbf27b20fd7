#pragma once
// The binary contract between the launcher and the plug-in DLLs it downloads: class and interface
// identifiers, the interfaces in their slot order, and the installation status values. Everything
// here is COM-style: __stdcall methods, HRESULT results, NUL-terminated UTF-16 text. This header
// depends on the Windows SDK only, so that a plug-in author can build against it alone.
#include <windows.h>
#include <unknwn.h>
#include <cstdint>

namespace vek::plugin {

// {C0239F12-0DE7-47DD-8B89-C16B6A1B4B40}: the installation plug-in class.
inline constexpr GUID CLSID_VekPlugin2 = {0xC0239F12, 0x0DE7, 0x47DD, {0x8B, 0x89, 0xC1, 0x6B, 0x6A, 0x1B, 0x4B, 0x40}};
// {E2C838C9-9B56-432C-BA5A-F8957BCB2848}
inline constexpr GUID IID_IVekPlugin2 = {0xE2C838C9, 0x9B56, 0x432C, {0xBA, 0x5A, 0xF8, 0x95, 0x7B, 0xCB, 0x28, 0x48}};
// {1305F726-7D83-404B-BC9E-9FC58AE46929}: the archive plug-in class.
inline constexpr GUID CLSID_VekArchive = {0x1305F726, 0x7D83, 0x404B, {0xBC, 0x9E, 0x9F, 0xC5, 0x8A, 0xE4, 0x69, 0x29}};
// {B76508D8-C247-11DD-AC29-0017F209DE16}
inline constexpr GUID IID_IVekArchive = {0xB76508D8, 0xC247, 0x11DD, {0xAC, 0x29, 0x00, 0x17, 0xF2, 0x09, 0xDE, 0x16}};

// What GetStatus reports; the launcher keeps polling while the status is ePluginRunning.
enum VEK_PLUGIN_STATUS : int32_t {
    ePluginRetryDownload = -3, // failed; the launcher downloads the files again
    ePluginFailedQuiet = -2,
    ePluginFailed = -1,
    ePluginNotStarted = 0, // the installation could not be initiated
    ePluginRunning = 2,
    ePluginFinished = 3,
    ePluginIncomplete = 4,
    ePluginIncompleteRestart = 5,
    ePluginCancelled = 6,
    ePluginStopped = 7,
    ePluginStoppedWithError = 8,
    ePluginPending = 9,
    ePluginUacCancelled = 10,
};

// Intermediate errors: OnError with this code carries JSON error data and does not fail the job.
inline constexpr HRESULT kPluginIntermediateErrors = static_cast<HRESULT>(0x80047F30L);

// Handed to IVekPlugin2::Start. Not reference counted: the launcher owns it and keeps it valid
// until it has released the plug-in. Called on the plug-in's own threads.
struct IVekPluginCallback {
    virtual HRESULT STDMETHODCALLTYPE OnError(HRESULT code, const wchar_t* errorData) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnEvent(int32_t jobEvent) = 0;
};

struct IVekPlugin2 : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetErrorCode() = 0;
    // Not called by the launcher; kept so that the later slots stay where they are.
    virtual HRESULT STDMETHODCALLTYPE Reserved() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStatus(int32_t* status) = 0;
    virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
    // Must return while the installation goes on; the job text is the job's manifest node.
    virtual HRESULT STDMETHODCALLTYPE Start(const wchar_t* jobJson, IVekPluginCallback* callback) = 0;
};

// Handed to IVekArchive::Archive; not reference counted, owned by the launcher.
struct IVekArchiveCallback {
    virtual HRESULT STDMETHODCALLTYPE OnStatus(int32_t status) = 0;
};

struct IVekArchive : public IUnknown {
    // Does the whole work before it returns.
    virtual HRESULT STDMETHODCALLTYPE Archive(const wchar_t* jobJson, IVekArchiveCallback* callback) = 0;
};

} // namespace vek::plugin
