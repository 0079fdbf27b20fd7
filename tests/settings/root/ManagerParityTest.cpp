// The store's manager and the older format's manager answer alike where they share a rule:
// with no store open every call says so, before it looks at the path it was given.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include <wrl/client.h>

#include "ManagerTestSupport.h"
#include "settings/legacy/LegacySettings.h"
#include "settings/manager/CLegacySettingsMgr.h"
#include "settings/manager/CSettingsMgr.h"
#include "settings/objects/CSettings.h"

using Microsoft::WRL::ComPtr;
using namespace qkSettings;
using settingstest::R;

namespace {

struct ManagerKind {
    const char* label;
    std::function<ComPtr<ISettingsMgr>()> make;
    std::function<ComPtr<ISettings>()> object;
};

const ManagerKind kManagers[] = {
    {"store manager",
     [] {
         ComPtr<CSettingsMgr> m;
         m.Attach(new CSettingsMgr());
         m->AddRef();
         EXPECT_EQ(R(result::kOk), m->Init());
         return ComPtr<ISettingsMgr>(m.Get());
     },
     [] {
         ComPtr<CSettings> s;
         s.Attach(new CSettings());
         s->AddRef();
         EXPECT_EQ(R(result::kOk), s->Initialize(L"Key"));
         return ComPtr<ISettings>(s.Get());
     }},
    {"older format manager",
     [] {
         ComPtr<CLegacySettingsMgr> m;
         m.Attach(new CLegacySettingsMgr());
         m->AddRef();
         return ComPtr<ISettingsMgr>(m.Get());
     },
     [] {
         ComPtr<LegacySettings> s;
         s.Attach(new LegacySettings(L"Key"));
         s->AddRef();
         return ComPtr<ISettings>(s.Get());
     }},
};

} // namespace

TEST(ManagerParity, NoStoreOpenIsAnsweredFirst)
{
    using Call = std::function<HRESULT(ISettingsMgr*, ISettings*)>;
    const struct {
        const char* label;
        Call call;
    } calls[] = {
        {"OpenSettings",
         [](ISettingsMgr* m, ISettings*) {
             ComPtr<ISettings> s;
             return m->OpenSettings(L"A", &s);
         }},
        {"OpenSettings, bad path",
         [](ISettingsMgr* m, ISettings*) {
             ComPtr<ISettings> s;
             return m->OpenSettings(L"A\\\\B", &s);
         }},
        {"GetSettings, bad path",
         [](ISettingsMgr* m, ISettings*) {
             ComPtr<ISettings> s;
             return m->GetSettings(L"A\\\\B", &s);
         }},
        {"OpenSettingsA, bad path",
         [](ISettingsMgr* m, ISettings*) {
             ComPtr<ISettings> s;
             return m->OpenSettingsA("A\\\\B", &s);
         }},
        {"GetSettings",
         [](ISettingsMgr* m, ISettings*) {
             ComPtr<ISettings> s;
             return m->GetSettings(L"A", &s);
         }},
        {"EnumSettings",
         [](ISettingsMgr* m, ISettings*) {
             ComPtr<IEnumSettings> n;
             return m->EnumSettings(L"A", &n);
         }},
        {"DeleteSettings", [](ISettingsMgr* m, ISettings*) { return m->DeleteSettings(L"A"); }},
        {"DeleteSettingsA", [](ISettingsMgr* m, ISettings*) { return m->DeleteSettingsA("A"); }},
        {"PutSettings", [](ISettingsMgr* m, ISettings* s) { return m->PutSettings(s); }},
        {"Close", [](ISettingsMgr* m, ISettings*) { return m->Close(); }},
    };
    for (const ManagerKind& kind : kManagers) {
        ComPtr<ISettingsMgr> mgr = kind.make();
        ComPtr<ISettings> object = kind.object();
        for (const auto& c : calls) {
            SCOPED_TRACE(std::string(kind.label) + ": " + c.label);
            EXPECT_EQ(R(result::kNotOpen), c.call(mgr.Get(), object.Get()));
        }
    }
}

// Both answer the manager interface under its identifier, its alias and the null identifier;
// only the store's manager has transactions and batches.
TEST(ManagerParity, InterfaceIdentifiers)
{
    for (const ManagerKind& kind : kManagers) {
        SCOPED_TRACE(kind.label);
        ComPtr<ISettingsMgr> mgr = kind.make();
        for (const GUID& id : {IID_ISettingsMgr, IID_ISettingsMgrAlias, GUID_NULL}) {
            ComPtr<IUnknown> out;
            ASSERT_EQ(R(result::kOk), mgr->QueryInterface(id, reinterpret_cast<void**>(out.GetAddressOf())));
            EXPECT_EQ(static_cast<IUnknown*>(mgr.Get()), out.Get());
        }
        const bool store = std::string(kind.label) == "store manager";
        for (const GUID& id : {IID_ISettingsTransaction, IID_ISettingsStoreAccess}) {
            ComPtr<IUnknown> out;
            EXPECT_EQ(store ? R(result::kOk) : R(result::kNoInterface),
                      mgr->QueryInterface(id, reinterpret_cast<void**>(out.GetAddressOf())));
            EXPECT_EQ(store, out != nullptr);
        }
        EXPECT_EQ(R(result::kInvalidArg), mgr->QueryInterface(IID_ISettingsMgr, nullptr));
    }
}
