#pragma once
// The minimal server-side UI Automation provider of the launcher's own windows: it gives a
// window an accessible name (UIA_NamePropertyId) and an automation identifier
// (UIA_AutomationIdPropertyId) and nothing else. Reference counted with interlocked operations;
// the texts never change after construction, so UI Automation may call it from any thread.
#include "ui/automation/VekUiaFunctions.h"

#include <string>

namespace vek {

class VekUiaProvider final : public IRawElementProviderSimple {
public:
    // A new provider with one reference, or null when it cannot be allocated.
    static IRawElementProviderSimple* Create(HWND hWnd, const std::wstring& automationId, const std::wstring& name);

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // IRawElementProviderSimple
    HRESULT STDMETHODCALLTYPE get_ProviderOptions(ProviderOptions* options) override;
    HRESULT STDMETHODCALLTYPE GetPatternProvider(PATTERNID patternId, IUnknown** provider) override;
    HRESULT STDMETHODCALLTYPE GetPropertyValue(PROPERTYID propertyId, VARIANT* value) override;
    HRESULT STDMETHODCALLTYPE get_HostRawElementProvider(IRawElementProviderSimple** provider) override;

private:
    VekUiaProvider(HWND hWnd, const std::wstring& automationId, const std::wstring& name);
    ~VekUiaProvider() = default;

    LONG m_refCount = 1;
    HWND m_hWnd;
    const std::wstring m_name;
    const std::wstring m_automationId;
};

// The WM_GETOBJECT answer of every own window: for UiaRootObjectId a provider with the two
// texts (handed to UiaReturnRawElementProvider, never a null one); for any other object id the
// default window procedure's answer.
LRESULT HandleGetObject(HWND hWnd, WPARAM wParam, LPARAM lParam, const std::wstring& automationId,
                        const std::wstring& name);

} // namespace vek
