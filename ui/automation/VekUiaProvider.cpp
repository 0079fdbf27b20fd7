#include "ui/automation/VekUiaProvider.h"

#include "common/errors/qkLog.h"

#include <new>

namespace vek {

namespace {

const PROPERTYID kNameProperty = 30005;         // UIA_NamePropertyId
const PROPERTYID kAutomationIdProperty = 30011; // UIA_AutomationIdPropertyId
// UiaRootObjectId (uiautomationcoreapi.h cannot be compiled as C++ here).
const LONG kUiaRootObjectId = -25;

} // namespace

IRawElementProviderSimple* VekUiaProvider::Create(HWND hWnd, const std::wstring& automationId, const std::wstring& name)
{
    try {
        return new VekUiaProvider(hWnd, automationId, name);
    } catch (const std::bad_alloc&) {
        QK_LOG_ERROR(L"Out of memory creating the automation provider of window %p", static_cast<void*>(hWnd));
        return nullptr;
    }
}

VekUiaProvider::VekUiaProvider(HWND hWnd, const std::wstring& automationId, const std::wstring& name)
    : m_hWnd(hWnd), m_name(name), m_automationId(automationId)
{}

HRESULT STDMETHODCALLTYPE VekUiaProvider::QueryInterface(REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IRawElementProviderSimple) {
        *ppv = static_cast<IRawElementProviderSimple*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE VekUiaProvider::AddRef()
{
    return static_cast<ULONG>(::InterlockedIncrement(&m_refCount));
}

ULONG STDMETHODCALLTYPE VekUiaProvider::Release()
{
    const LONG count = ::InterlockedDecrement(&m_refCount);
    if (count == 0)
        delete this;
    return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE VekUiaProvider::get_ProviderOptions(ProviderOptions* options)
{
    if (options == nullptr)
        return E_POINTER;
    *options = ProviderOptions_ServerSideProvider;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE VekUiaProvider::GetPatternProvider(PATTERNID, IUnknown** provider)
{
    if (provider == nullptr)
        return E_POINTER;
    *provider = nullptr;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE VekUiaProvider::GetPropertyValue(PROPERTYID propertyId, VARIANT* value)
{
    if (value == nullptr)
        return E_POINTER;
    ::VariantInit(value);
    const std::wstring* text = propertyId == kNameProperty           ? &m_name
                               : propertyId == kAutomationIdProperty ? &m_automationId
                                                                     : nullptr;
    if (text == nullptr)
        return S_OK;
    BSTR copy = ::SysAllocStringLen(text->c_str(), static_cast<UINT>(text->size()));
    if (copy == nullptr)
        return E_OUTOFMEMORY;
    value->vt = VT_BSTR;
    value->bstrVal = copy;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE VekUiaProvider::get_HostRawElementProvider(IRawElementProviderSimple** provider)
{
    if (provider == nullptr)
        return E_POINTER;
    *provider = nullptr;
    const VekUiaFunctions functions = GetUiaFunctions();
    if (functions.hostProviderFromHwnd == nullptr)
        return S_OK; // no host provider: UI Automation then knows the element by this provider only
    return functions.hostProviderFromHwnd(m_hWnd, provider);
}

LRESULT HandleGetObject(HWND hWnd, WPARAM wParam, LPARAM lParam, const std::wstring& automationId,
                        const std::wstring& name)
{
    if (static_cast<LONG>(lParam) != kUiaRootObjectId)
        return ::DefWindowProcW(hWnd, WM_GETOBJECT, wParam, lParam);
    const VekUiaFunctions functions = GetUiaFunctions();
    if (functions.returnRawElementProvider == nullptr)
        return 0;
    IRawElementProviderSimple* provider = VekUiaProvider::Create(hWnd, automationId, name);
    if (provider == nullptr)
        return 0; // no provider: never hand a null one to UI Automation
    const LRESULT result = functions.returnRawElementProvider(hWnd, wParam, lParam, provider);
    provider->Release();
    return result;
}

} // namespace vek
