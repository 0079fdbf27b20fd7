// Files of the older format through the settings manager and the legacy settings object.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <wrl/client.h>

#include "ManagerTestSupport.h"
#include "SettingsTestSupport.h"
#include "settings/legacy/CLegacyDataStore.h"
#include "settings/legacy/LegacyKeyValues.h"
#include "settings/legacy/LegacySettings.h"
#include "settings/legacy/LegacySettingsDatabase.h"
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

namespace {

// An older file holding Pins.v = 7, made through the manager.
void MakeOlderFile(const std::wstring& path)
{
    ComPtr<ISettingsMgr> mgr;
    ASSERT_EQ(R(result::kOk), CreateStandaloneSettingsMgr(&mgr));
    ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), openflag::kCreate | openflag::kPreferLegacy, nullptr));
    ComPtr<ISettings> s;
    ASSERT_EQ(R(result::kOk), mgr->GetSettings(L"Pins", &s));
    ASSERT_EQ(R(result::kOk), s->SetDword(L"v", 7));
    ASSERT_EQ(R(result::kOk), mgr->PutSettings(s.Get()));
}

DWORD ReadPins(ISettingsMgr* mgr)
{
    ComPtr<ISettings> s;
    DWORD v = 0;
    if (FAILED(mgr->OpenSettings(L"Pins", &s)) || FAILED(s->GetDword(L"v", &v)))
        return 0;
    return v;
}

} // namespace

// A read-only open of an older file reads it as it stands: it needs no write access (another
// reader that shares only reading may hold the file), writes nothing, makes no journal, and lets
// a second read-only reader in at the same time.
TEST(LegacySettingsManager, ReadOnlyOpenWritesNothingAndSharesReading)
{
    ASSERT_EQ(R(result::kOk), ModuleAddRef());
    TempDir dir;
    const std::wstring path = dir.Path(L"old.dat");
    const std::wstring journal = path + L".journal";
    MakeOlderFile(path);
    const Bytes before = ReadAll(path);
    for (bool held : {false, true}) {
        SCOPED_TRACE(held ? "another reader holds the file" : "no other handle");
        HANDLE other = INVALID_HANDLE_VALUE;
        if (held) {
            other = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(INVALID_HANDLE_VALUE, other);
        }
        ComPtr<ISettingsMgr> first, second;
        ASSERT_EQ(R(result::kOk), CreateStandaloneSettingsMgr(&first));
        ASSERT_EQ(R(result::kOk), CreateStandaloneSettingsMgr(&second));
        EXPECT_EQ(R(result::kOk), first->Open(path.c_str(), openflag::kReadOnly, nullptr));
        EXPECT_FALSE(Exists(journal));
        EXPECT_EQ(R(result::kOk), second->Open(path.c_str(), openflag::kReadOnly, nullptr));
        EXPECT_EQ(7u, ReadPins(first.Get()));
        EXPECT_EQ(7u, ReadPins(second.Get()));

        ComPtr<ISettings> s;
        ASSERT_EQ(R(result::kOk), first->GetSettings(L"Pins", &s));
        ASSERT_EQ(R(result::kOk), s->SetDword(L"v", 8));
        EXPECT_EQ(R(result::kAccessDenied), first->PutSettings(s.Get()));
        EXPECT_EQ(R(result::kAccessDenied), first->DeleteSettings(L"Pins"));
        EXPECT_EQ(7u, ReadPins(first.Get()));

        EXPECT_EQ(R(result::kOk), first->Close());
        EXPECT_EQ(R(result::kOk), second->Close());
        if (other != INVALID_HANDLE_VALUE)
            ::CloseHandle(other);
        EXPECT_EQ(before, ReadAll(path));
        EXPECT_FALSE(Exists(journal));
    }
    ModuleRelease();
}

// Values at the root go to a record with an empty name, and that record loads back as the root.
TEST(LegacySettingsManager, RootValuesLoadBack)
{
    ASSERT_EQ(R(result::kOk), ModuleAddRef());
    TempDir dir;
    const std::wstring path = dir.Path(L"old.dat");
    {
        ComPtr<ISettingsMgr> mgr;
        ASSERT_EQ(R(result::kOk), CreateStandaloneSettingsMgr(&mgr));
        ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), openflag::kCreate | openflag::kPreferLegacy, nullptr));
        ComPtr<ISettings> root, child;
        ASSERT_EQ(R(result::kOk), mgr->GetSettings(L"\\", &root));
        ASSERT_EQ(R(result::kOk), root->SetDword(L"top", 5));
        ASSERT_EQ(R(result::kOk), mgr->PutSettings(root.Get()));
        ASSERT_EQ(R(result::kOk), mgr->GetSettings(L"Child", &child));
        ASSERT_EQ(R(result::kOk), child->SetDword(L"v", 6));
        ASSERT_EQ(R(result::kOk), mgr->PutSettings(child.Get()));
    }
    for (DWORD flags : {DWORD{0}, openflag::kReadOnly}) {
        SCOPED_TRACE(flags);
        ComPtr<ISettingsMgr> mgr;
        ASSERT_EQ(R(result::kOk), CreateStandaloneSettingsMgr(&mgr));
        ASSERT_EQ(R(result::kOk), mgr->Open(path.c_str(), flags, nullptr));
        for (const wchar_t* rootPath : {L"\\", L""}) {
            ComPtr<ISettings> root;
            DWORD v = 0;
            ASSERT_EQ(R(result::kOk), mgr->OpenSettings(rootPath, &root));
            EXPECT_EQ(R(result::kOk), root->GetDword(L"top", &v));
            EXPECT_EQ(5u, v);
        }
        ComPtr<ISettings> child;
        DWORD v = 0;
        ASSERT_EQ(R(result::kOk), mgr->OpenSettings(L"Child", &child));
        EXPECT_EQ(R(result::kOk), child->GetDword(L"v", &v));
        EXPECT_EQ(6u, v);
    }
    ModuleRelease();
}

namespace {

// "a\a\...\a" with the given number of names.
std::wstring DeepPath(size_t depth)
{
    std::wstring path;
    path.reserve(depth * 2);
    for (size_t i = 0; i < depth; ++i) {
        if (i > 0)
            path += L'\\';
        path += L'a';
    }
    return path;
}

// An older file with one record: the key path holds v = 9.
void WriteOneRecord(const std::wstring& file, const std::wstring& key)
{
    LegacyKeyValues values;
    DWORD v = 9;
    ASSERT_EQ(result::kOk, values.Set(L"v", LegacyKeyValues::kDword, &v, 4));
    std::vector<BYTE> full;
    ASSERT_EQ(result::kOk, values.WriteFull(full));
    CLegacyDataStore store;
    ASSERT_EQ(result::kOk, store.OpenStore(file.c_str(), true, false, false));
    ULONGLONG id = 0;
    ASSERT_TRUE(store.AddValue(key.c_str(), full.data(), static_cast<DWORD>(full.size()), &id));
    ASSERT_TRUE(store.Close());
}

} // namespace

// A record deeper than a key path may go is refused as corrupt, however deep; a record at the
// limit loads back whole; a save may not make a key deeper than the limit.
TEST(LegacySettingsManager, KeyDepthIsBounded)
{
    ASSERT_EQ(R(result::kOk), ModuleAddRef());
    TempDir dir;
    const size_t limit = LegacySettingsDatabase::kMaxKeyDepth;
    struct Case {
        size_t depth;
        bool loads;
    };
    for (const Case& c : {Case{limit, true}, Case{limit + 1, false}, Case{100000, false}}) {
        SCOPED_TRACE(c.depth);
        const std::wstring file = dir.Path(L"deep.dat");
        const std::wstring key = DeepPath(c.depth);
        WriteOneRecord(file, key);
        ComPtr<ISettingsMgr> mgr;
        ASSERT_EQ(R(result::kOk), CreateStandaloneSettingsMgr(&mgr));
        HRESULT hr = mgr->Open(file.c_str(), openflag::kReadOnly, nullptr);
        if (!c.loads) {
            EXPECT_EQ(R(result::kCorrupt), hr);
            continue;
        }
        ASSERT_EQ(R(result::kOk), hr);
        ComPtr<ISettings> s;
        DWORD v = 0;
        ASSERT_EQ(R(result::kOk), mgr->OpenSettings(key.c_str(), &s));
        EXPECT_EQ(R(result::kOk), s->GetDword(L"v", &v));
        EXPECT_EQ(9u, v);
        EXPECT_EQ(R(result::kOk), mgr->Close());
    }

    const std::wstring file = dir.Path(L"save.dat");
    ComPtr<ISettingsMgr> mgr;
    ASSERT_EQ(R(result::kOk), CreateStandaloneSettingsMgr(&mgr));
    ASSERT_EQ(R(result::kOk), mgr->Open(file.c_str(), openflag::kCreate | openflag::kPreferLegacy, nullptr));
    for (size_t depth : {limit + 1, limit}) {
        SCOPED_TRACE(depth);
        ComPtr<ISettings> s;
        ASSERT_EQ(R(result::kOk), mgr->GetSettings(DeepPath(depth).c_str(), &s));
        ASSERT_EQ(R(result::kOk), s->SetDword(L"v", 1));
        EXPECT_EQ(depth > limit ? R(result::kBadPath) : R(result::kOk), mgr->PutSettings(s.Get()));
    }
    ASSERT_EQ(R(result::kOk), mgr->Close());
    ASSERT_EQ(R(result::kOk), mgr->Open(file.c_str(), openflag::kReadOnly, nullptr));
    ComPtr<ISettings> s;
    EXPECT_EQ(R(result::kOk), mgr->OpenSettings(DeepPath(limit).c_str(), &s));
    mgr.Reset();
    ModuleRelease();
}

// The older object lists its values in name order with only A-Z folded: names that differ in
// the case of other letters are values of their own.
TEST(LegacySettingsObject, ValuesListInNameOrderFoldingOnlyAsciiLetters)
{
    ComPtr<LegacySettings> s;
    s.Attach(new LegacySettings(L"Key"));
    s->AddRef();
    const BYTE raw[1] = {1};
    ASSERT_EQ(R(result::kOk), s->SetString(L"Zeta", L"z"));
    ASSERT_EQ(R(result::kOk), s->SetDword(L"\x00E4pfel", 1)); // a small a with diaeresis
    ASSERT_EQ(R(result::kOk), s->SetBinary(L"mid", raw, 1));
    ASSERT_EQ(R(result::kOk), s->SetDword(L"\x00C4PFEL", 2)); // the capital
    ASSERT_EQ(R(result::kOk), s->SetDword(L"Alpha", 3));
    ASSERT_EQ(R(result::kOk), s->SetDword(L"beta", 4));
    ASSERT_EQ(R(result::kOk), s->SetDword(L"gone", 5));
    ASSERT_EQ(R(result::kOk), s->DeleteValue(L"GONE"));
    ASSERT_EQ(R(result::kOk), s->SetDword(L"BETA", 6)); // the same value as beta

    struct Listed {
        std::wstring name;
        DWORD type;
        bool operator==(const Listed& o) const { return name == o.name && type == o.type; }
    };
    const std::vector<Listed> expected = {{L"Alpha", 1},        {L"beta", 1},        {L"mid", 2},
                                          {L"Zeta", 0},         {L"\x00C4PFEL", 1}, {L"\x00E4pfel", 1}};
    ComPtr<IEnumValues> values;
    ASSERT_EQ(R(result::kOk), s->EnumValues(&values));
    DWORD count = 0;
    ASSERT_EQ(R(result::kOk), values->GetCount(&count));
    std::vector<Listed> listed;
    for (DWORD i = 0; i < count; ++i) {
        wchar_t name[16];
        DWORD size = 16, type = 99;
        ASSERT_EQ(R(result::kOk), values->GetName(i, name, &size, &type));
        listed.push_back({name, type});
    }
    EXPECT_TRUE(listed == expected);
    for (size_t i = 0; i < listed.size() && i < expected.size(); ++i)
        EXPECT_EQ(expected[i].name, listed[i].name) << i;
    DWORD small = 0, capital = 0;
    EXPECT_EQ(R(result::kOk), s->GetDword(L"\x00E4PFEL", &small)); // only the ASCII letters fold
    EXPECT_EQ(R(result::kOk), s->GetDword(L"\x00C4pfel", &capital));
    EXPECT_EQ(1u, small);
    EXPECT_EQ(2u, capital);
}
