// Every own control answers UI Automation with its automation id and name through the real
// provider interfaces.
#include "UiTestSupport.h"

#include "ui/automation/VekUiaProvider.h"
#include "ui/controls/CStaticImage.h"
#include "ui/controls/CTransparentStatic.h"
#include "ui/controls/InfiniteBar.h"
#include "ui/controls/VekGDIPlusButton.h"
#include "ui/controls/VekHyperLink.h"
#include "ui/res/VekResourceIds.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const LPARAM kUiaRootObjectId = static_cast<LPARAM>(static_cast<LONG>(-25));
const PROPERTYID kName = 30005, kAutomationId = 30011, kControlType = 30003;
const PATTERNID kInvokePattern = 10000;

std::wstring Property(IRawElementProviderSimple* provider, PROPERTYID id)
{
    VARIANT value;
    ::VariantInit(&value);
    if (FAILED(provider->GetPropertyValue(id, &value)) || value.vt != VT_BSTR)
        return L"<none>";
    std::wstring text(value.bstrVal, ::SysStringLen(value.bstrVal));
    ::VariantClear(&value);
    return text;
}

// What the stand-in for UiaReturnRawElementProvider saw of the provider it was given.
struct Seen {
    std::wstring automationId;
    std::wstring name;
    ULONG referencesWhileHeld = 0;
};
std::vector<Seen> g_seen;

LRESULT WINAPI RecordProvider(HWND, WPARAM, LPARAM, IRawElementProviderSimple* provider)
{
    Seen seen;
    if (provider != nullptr) {
        seen.automationId = Property(provider, kAutomationId);
        seen.name = Property(provider, kName);
        seen.referencesWhileHeld = provider->AddRef();
        provider->Release();
    }
    g_seen.push_back(seen);
    return 7;
}

class AutomationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_seen.clear();
        m_previous = vek::SetUiaFunctions({RecordProvider, nullptr});
    }
    void TearDown() override { vek::SetUiaFunctions(m_previous); }

    vek::VekUiaFunctions m_previous;
};

TEST_F(AutomationTest, EveryControlAnswersWithItsIdAndName)
{
    uitest::TestWindow window;
    vek::VekGDIPlusButton retry(vek::VekGDIPlusButton::kStyleHover), close(vek::VekGDIPlusButton::kStyleHover);
    ASSERT_TRUE(retry.Create(window, RECT{10, 10, 130, 42}, L"Retry", vek::VekGDIPlusButton::kWindowStyle, 0, 4303,
                             IDR_PNG_BUTTON, IDR_PNG_BUTTON_PUSHED, IDR_PNG_BUTTON_HOVER));
    ASSERT_TRUE(close.Create(window, RECT{140, 10, 172, 42}, L"", vek::VekGDIPlusButton::kWindowStyle, 0, 3306,
                             IDR_PNG_CLOSE, IDR_PNG_CLOSE_PUSHED, IDR_PNG_CLOSE_HOVER));
    vek::VekHyperLink link, bare;
    ASSERT_NE(link.Create(window, RECT{10, 50, 200, 70}, L"click here.", L"https://help.talvern.example/", 4306),
              nullptr);
    ASSERT_NE(bare.Create(window, RECT{10, 70, 200, 90}, L"", L"https://help.talvern.example/x", 4307), nullptr);
    vek::CStaticImage image;
    ASSERT_NE(image.Create(window, IDR_PNG_LOGO, 220, 50, true), nullptr);
    vek::CTransparentStatic text;
    ASSERT_NE(text.Create(window, 3321, 222, RECT{10, 100, -1, -1}, nullptr, 0, true), nullptr);
    vek::InfiniteBar bar;
    ASSERT_NE(bar.Create(window, RECT{10, 130, 310, 138}), nullptr);

    const struct {
        const char* name;
        HWND hWnd;
        const wchar_t* id;
        const wchar_t* accessibleName;
    } cases[] = {
        {"button with a caption", retry, L"Button_4303", L"Retry"},
        {"button without text", close, L"Button_3306", L"Button_3306"},
        {"hyperlink", link, L"HyperLink_4306", L"click here."},
        {"hyperlink without label", bare, L"HyperLink_4307", L"https://help.talvern.example/x"},
        {"static image", image, L"StaticImg_309", L"StaticImg_309"},
        {"transparent text", text, L"Text_3321", L"Initializing..."},
        {"animated bar", bar, L"InfiniteBar", L"InfiniteBar"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_seen.clear();
        EXPECT_EQ(::SendMessageW(c.hWnd, WM_GETOBJECT, 0, kUiaRootObjectId), 7);
        ASSERT_EQ(g_seen.size(), 1u);
        EXPECT_EQ(g_seen[0].automationId, c.id);
        EXPECT_EQ(g_seen[0].name, c.accessibleName);
        EXPECT_EQ(g_seen[0].referencesWhileHeld, 2u); // the handler's own and ours

        // Other object ids are the default window procedure's business.
        g_seen.clear();
        EXPECT_EQ(::SendMessageW(c.hWnd, WM_GETOBJECT, 0, static_cast<LPARAM>(static_cast<LONG>(OBJID_CLIENT))),
                  ::DefWindowProcW(c.hWnd, WM_GETOBJECT, 0, static_cast<LPARAM>(static_cast<LONG>(OBJID_CLIENT))));
        EXPECT_TRUE(g_seen.empty());
    }
}

TEST_F(AutomationTest, ProviderInterfaces)
{
    uitest::TestWindow window;
    IRawElementProviderSimple* provider = vek::VekUiaProvider::Create(window, L"VekMainWindow", L"Qor Cloud");
    ASSERT_NE(provider, nullptr);

    IUnknown* unknown = nullptr;
    EXPECT_EQ(provider->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    ASSERT_NE(unknown, nullptr);
    unknown->Release();
    IDispatch* dispatch = reinterpret_cast<IDispatch*>(0x1);
    EXPECT_EQ(provider->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), E_NOINTERFACE);
    EXPECT_EQ(dispatch, nullptr);
    EXPECT_EQ(provider->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

    ProviderOptions options{};
    EXPECT_EQ(provider->get_ProviderOptions(&options), S_OK);
    EXPECT_EQ(options, ProviderOptions_ServerSideProvider);
    EXPECT_EQ(provider->get_ProviderOptions(nullptr), E_POINTER);

    IUnknown* pattern = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(provider->GetPatternProvider(kInvokePattern, &pattern), S_OK);
    EXPECT_EQ(pattern, nullptr);

    EXPECT_EQ(Property(provider, kName), L"Qor Cloud");
    EXPECT_EQ(Property(provider, kAutomationId), L"VekMainWindow");
    VARIANT other;
    other.vt = VT_I4;
    EXPECT_EQ(provider->GetPropertyValue(kControlType, &other), S_OK);
    EXPECT_EQ(other.vt, VT_EMPTY);
    EXPECT_EQ(provider->GetPropertyValue(kName, nullptr), E_POINTER);

    IRawElementProviderSimple* host = reinterpret_cast<IRawElementProviderSimple*>(0x1);
    EXPECT_EQ(provider->get_HostRawElementProvider(&host), S_OK); // no host function in this test
    EXPECT_EQ(host, nullptr);
    EXPECT_EQ(provider->Release(), 0u);
}

TEST_F(AutomationTest, SystemFunctionsAnswerWithoutCrashing)
{
    // The system's UiaReturnRawElementProvider with a real provider (never a null one).
    vek::SetUiaFunctions({});
    const vek::VekUiaFunctions system = vek::GetUiaFunctions();
    EXPECT_NE(system.returnRawElementProvider, nullptr);
    EXPECT_NE(system.hostProviderFromHwnd, nullptr);
    uitest::TestWindow window;
    vek::VekGDIPlusButton button(vek::VekGDIPlusButton::kStyleHover);
    ASSERT_TRUE(button.Create(window, RECT{10, 10, 130, 42}, L"Retry", vek::VekGDIPlusButton::kWindowStyle, 0, 4303,
                              IDR_PNG_BUTTON, IDR_PNG_BUTTON_PUSHED, IDR_PNG_BUTTON_HOVER));
    ::SendMessageW(button, WM_GETOBJECT, 0, kUiaRootObjectId);
    IRawElementProviderSimple* provider = vek::VekUiaProvider::Create(button, L"Button_4303", L"Retry");
    ASSERT_NE(provider, nullptr);
    IRawElementProviderSimple* host = nullptr;
    EXPECT_EQ(provider->get_HostRawElementProvider(&host), S_OK);
    if (host != nullptr)
        host->Release();
    provider->Release();
}

} // namespace
