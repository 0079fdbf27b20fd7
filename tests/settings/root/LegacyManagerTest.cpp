// Files of the older format through the settings manager and the legacy settings object.
#include <gtest/gtest.h>

#include <wrl/client.h>

#include "ManagerTestSupport.h"
#include "SettingsTestSupport.h"
#include "settings/legacy/LegacySettings.h"
#include "settings/manager/qkSettingsModule.h"
#include "settings/store/qkSettingsResult.h"

using Microsoft::WRL::ComPtr;
using namespace qkSettings;
using namespace settingstest;

TEST(LegacySettingsObject, ValuesTypesAndSizes)
{
    ComPtr<LegacySettings> s;
    s.Attach(new LegacySettings(L"Key"));
    s->AddRef();
    ASSERT_EQ(R(result::kOk), s->SetString(L"Name", L"ab"));
    wchar_t text[4];
    DWORD size = 2;
    EXPECT_EQ(R(result::kBufferTooSmall), s->GetString(L"NAME", text, &size));
    EXPECT_EQ(3u, size);
    EXPECT_EQ(R(result::kOk), s->GetString(L"NAME", text, &size));
    EXPECT_STREQ(L"ab", text);
    DWORD d;
    EXPECT_EQ(R(result::kTypeMismatch), s->GetDword(L"Name", &d));
    ASSERT_EQ(R(result::kOk), s->SetDword(L"D", 4));
    ASSERT_EQ(R(result::kOk), s->DeleteValue(L"D"));
    EXPECT_EQ(R(result::kNotFound), s->GetDword(L"D", &d));
    EXPECT_EQ(R(result::kOk), s->DeleteValue(L"missing"));
    EXPECT_EQ(R(result::kOk), s->SetBinary(L"Empty", nullptr, 0));
    EXPECT_EQ(R(result::kInvalidArg), s->SetBinary(L"Bad", nullptr, 4));
    ULONGLONG q;
    EXPECT_EQ(R(result::kNotImplemented), s->GetQword(L"Name", &q));
    s->DeleteAllValues();
    ComPtr<IEnumValues> values;
    ASSERT_EQ(R(result::kOk), s->EnumValues(&values));
    DWORD count = 1, longest = 0, largest = 0;
    values->GetCount(&count);
    EXPECT_EQ(0u, count);
    s->GetInfo(&longest, &largest);
    EXPECT_EQ(6u, longest);
    EXPECT_EQ(6u, largest);

    // A full form of another version is refused whole.
    LegacyKeyValues kv;
    ASSERT_EQ(result::kOk, kv.Set(L"x", LegacyKeyValues::kDword, &d, 4));
    std::vector<BYTE> full;
    ASSERT_EQ(result::kOk, kv.WriteFull(full));
    full[1] = 2; // the version's value (after its one-byte tag)
    LegacyKeyValues other;
    EXPECT_EQ(0x80000204u, other.ReadFull(full.data(), static_cast<DWORD>(full.size())));
}

TEST(LegacySettingsManager, OlderFilesThroughTheManager)
{
    ASSERT_EQ(R(result::kOk), ModuleAddRef());
    TempDir dir;
    const std::wstring path = dir.Path(L"old.dat");
    {
        ComPtr<ISettingsMgr> mgr;
        ASSERT_EQ(R(result::kOk), CreateStandaloneSettingsMgr(&mgr));
        EXPECT_EQ(R(result::kInvalidArg),
                  mgr->Open(path.c_str(), openflag::kCreate | openflag::kPreferLegacy | openflag::kReadOnly, nullptr));
        ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), openflag::kCreate | openflag::kPreferLegacy, nullptr));
        ComPtr<ISettings> s;
        ASSERT_EQ(R(result::kOk), mgr->GetSettings(L"A\\B\\C", &s));
        ASSERT_EQ(R(result::kOk), s->SetDword(L"v", 7));
        ASSERT_EQ(R(result::kOk), s->SetString(L"t", L"text"));
        ASSERT_EQ(R(result::kOk), mgr->PutSettings(s.Get()));
        ASSERT_EQ(R(result::kOk), s->DeleteValue(L"t"));
        ASSERT_EQ(R(result::kOk), mgr->PutSettings(s.Get()));
        ComPtr<ISettingsBatch> batch;
        ComPtr<ISettingsStoreAccess> access;
        ASSERT_EQ(R(result::kOk),
                  mgr->QueryInterface(IID_ISettingsStoreAccess, reinterpret_cast<void**>(access.GetAddressOf())));
        EXPECT_EQ(R(result::kNotImplemented), access->CreateSettingsBatch(&batch));
    }
    Bytes file = ReadAll(path);
    ASSERT_GE(file.size(), 4u);
    DWORD first;
    memcpy(&first, file.data(), 4);
    EXPECT_EQ(0x8B871E6Du, first);

    ComPtr<ISettingsMgr> mgr;
    ASSERT_EQ(R(result::kOk), CreateStandaloneSettingsMgr(&mgr));
    ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), 0, nullptr));
    ComPtr<ISettings> s;
    ASSERT_EQ(R(result::kOk), mgr->OpenSettings(L"\\a\\b\\c\\", &s));
    DWORD v = 0;
    EXPECT_EQ(R(result::kOk), s->GetDword(L"V", &v));
    EXPECT_EQ(7u, v);
    wchar_t text[8];
    DWORD size = 8;
    EXPECT_EQ(R(result::kNotFound), s->GetString(L"t", text, &size));
    ComPtr<IEnumSettings> names;
    ASSERT_EQ(R(result::kOk), mgr->EnumSettings(L"A", &names));
    DWORD count = 0;
    names->GetCount(&count);
    EXPECT_EQ(1u, count);
    EXPECT_EQ(R(result::kNotFound), mgr->OpenSettings(L"Missing", &s));
    EXPECT_EQ(R(result::kOk), mgr->GetSettings(L"Missing", &s));
    EXPECT_EQ(R(result::kOk), mgr->DeleteSettings(L"A\\B"));
    EXPECT_EQ(R(result::kNotFound), mgr->OpenSettings(L"A\\B\\C", &s));
    EXPECT_EQ(R(result::kFailure), mgr->DeleteSettings(L""));
    mgr.Reset();
    ModuleRelease();
}
