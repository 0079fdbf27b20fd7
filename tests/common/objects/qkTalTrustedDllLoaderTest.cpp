// The trusted DLL loader where no trust DLL can be found: the file's existence is still checked.
#include <gtest/gtest.h>

#include "ObjectTestSupport.h"
#include "common/objects/qkTalObjectLoader.h"
#include "common/objects/qkTalResult.h"
#include "fixtures/FixtureIds.h"

using objtest::BinPath;

namespace {

TEST(qkTalTrustedDllLoader, WithoutTrustDllChecksOnlyThatTheFileExists)
{
    qkTalObjectLoader holder;
    qkTalTrustedDllLoader& loader = holder.m_loader;
    EXPECT_EQ(loader.VerifyModule(nullptr), QK_E_INVALIDARG);
    EXPECT_EQ(loader.Load(BinPath(L"objfix_no_such_file.dll").c_str()), QK_E_LOADFAILED);
    EXPECT_FALSE(loader.IsBound());

    const std::wstring path = BinPath(L"objfix_component.dll");
    ASSERT_EQ(loader.Load(path.c_str()), QK_S_OK);
    void* widget = nullptr;
    ASSERT_EQ(loader.CreateObject(CLSID_FixtureWidget, IID_IFixtureWidget, &widget), QK_S_OK);
    EXPECT_EQ(static_cast<IFixtureWidget*>(widget)->GetValue(), kWidgetValueComponent);
    static_cast<IFixtureWidget*>(widget)->Release();
}

} // namespace
