#include "services/trust/Jux_TrustFactory.h"

#include <wrl/client.h>

#include "common/base/qkRegisterOnce.h"
#include "common/objects/qkInstanceFactory.h"
#include "common/objects/qkTalResult.h"
#include "services/trust/TrustTrace.h"
#include "services/trust/qkVerifyTrustStatic.h"

using Microsoft::WRL::ComPtr;

namespace Jux {
namespace {

constinit qkRegisterOnce<VerifyTrustFactory> g_factory;

// The trust object's class is part of this library, so the instance factory learns its creator
// here, on the first request that finds the class unknown.
IUnknown* STDAPICALLTYPE CreateTrustObjectInstance()
{
    return qkVerifyTrustStatic::CreateObject();
}

// The instance factory answers the common library's result codes.
HRESULT FromLibraryResult(HRESULT code)
{
    struct Row {
        HRESULT library;
        HRESULT hr;
    };
    static constexpr Row kRows[] = {
        {QK_S_OK, S_OK},
        {QK_S_FALSE, S_FALSE},
        {QK_E_FAIL, E_FAIL},
        {QK_E_INVALIDARG, E_INVALIDARG},
        {QK_E_NOINTERFACE, E_NOINTERFACE},
        {QK_E_OUTOFMEMORY, E_OUTOFMEMORY},
        {QK_E_NOTIMPL, E_NOTIMPL},
        {QK_E_ACCESSDENIED, E_ACCESSDENIED},
        {QK_E_LOADFAILED, HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)},
        {QK_E_NOENTRYPOINT, HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND)},
        {QK_E_UNTRUSTED, HRESULT_FROM_WIN32(ERROR_BAD_FORMAT)},
    };
    for (const Row& row : kRows) {
        if (row.library == code)
            return row.hr;
    }
    return code < 0 ? E_FAIL : S_OK;
}

HRESULT CreateFromInstanceFactory(ComPtr<IVerifyTrust>& trust)
{
    IInstanceFactory* factory = qkInstanceFactory::GetInstanceFactory();
    if (factory == nullptr) {
        TRUST_TRACE(L"No instance factory");
        return E_OUTOFMEMORY;
    }
    if (!factory->IsRegistered(CLSID_VerifyTrust)) {
        const HRESULT registered = factory->RegisterCreator(CLSID_VerifyTrust, &CreateTrustObjectInstance);
        if (QkFailed(registered))
            TRUST_TRACE(L"Trust class not registered, 0x%08lX", static_cast<unsigned long>(registered));
    }
    const HRESULT created = factory->CreateInstance(CLSID_VerifyTrust, IID_IVerifyTrust,
                                                    reinterpret_cast<void**>(trust.ReleaseAndGetAddressOf()));
    if (QkFailed(created)) {
        TRUST_TRACE(L"Trust object not created, 0x%08lX", static_cast<unsigned long>(created));
        trust.Reset();
        return FromLibraryResult(created);
    }
    if (trust && trust->Create(TRUE) != VT_TRUSTED) {
        TRUST_TRACE(L"Trust object not ready");
        return TRUST_E_SYSTEM_ERROR;
    }
    return S_OK;
}

} // namespace

HRESULT RegisterVerifyTrustFactory(VerifyTrustFactory factory)
{
    return g_factory.Register(factory);
}

HRESULT UnregisterVerifyTrustFactory()
{
    g_factory.Forget();
    return S_OK;
}

HRESULT GetTrustObject(IVerifyTrust** trust)
{
    if (trust == nullptr)
        return E_POINTER;
    ComPtr<IVerifyTrust> object;
    if (const VerifyTrustFactory factory = g_factory.Get()) {
        const HRESULT hr = factory(object.GetAddressOf());
        if (FAILED(hr)) {
            TRUST_TRACE(L"Registered trust factory failed, 0x%08lX", static_cast<unsigned long>(hr));
            return hr;
        }
    } else {
        const HRESULT hr = CreateFromInstanceFactory(object);
        if (FAILED(hr))
            return hr;
    }
    if (!object)
        return E_POINTER;
    if (*trust != nullptr)
        (*trust)->Release();
    *trust = object.Detach();
    return S_OK;
}

HRESULT VerifyFileTrust(const wchar_t* path, bool strict)
{
    ComPtr<IVerifyTrust> trust;
    const HRESULT hr = GetTrustObject(trust.GetAddressOf());
    if (FAILED(hr)) {
        TRUST_TRACE(L"No trust object, hr=0x%08lX", static_cast<unsigned long>(hr));
        return hr;
    }
    DWORD result = trust->VerifyFile(path, 3);
    if (result == VT_TRUSTED) {
        TRUST_TRACE(L"%ls is trusted", path ? path : L"(null)");
        return S_OK;
    }
    if (!strict) {
        result = trust->VerifyFile(path, 4);
        if (result == VT_TRUSTED)
            return S_OK;
    }
    TRUST_TRACE(L"%ls is not trusted, last result %lu", path ? path : L"(null)", result);
    return TRUST_E_SUBJECT_NOT_TRUSTED;
}

} // namespace Jux
