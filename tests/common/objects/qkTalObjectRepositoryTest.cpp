// The object repository against the settings stand-in "qkSet.dll" in the fixture roots and the
// test silo's "OBJID" registry key.
#include <gtest/gtest.h>

#include "ObjectTestSupport.h"
#include "common/objects/qkTalObjectRepository.h"
#include "fixtures/FixtureIds.h"

using objtest::BinPath;
using objtest::GuidText;
using objtest::IsModuleLoaded;
using objtest::ScopedObjIds;
using objtest::ScopedRoot;
using objtest::TrustLog;

namespace {

// {6A1C2E17-...}: a registry entry whose path holds a token nobody defines.
constexpr GUID kObjIdBadToken = {0x6A1C2E17, 0x3B4D, 0x4E5F, {0x8A, 0x9B, 0x0C, 0x1D, 0x2E, 0x3F, 0x4A, 0x51}};

// The registry side of every repository test.
void AddRegistryEntries(ScopedObjIds& ids)
{
    ids.Add(GuidText(kObjIdRegistryOnly), L"%QKROOT%\\registry-only.dll");
    ids.Add(GuidText(kObjIdInBoth), L"C:\\from-registry.dll");
    ids.Add(GuidText(kObjIdRegistryNoPath), nullptr);
    ids.Add(GuidText(kObjIdBadToken), L"%NO_SUCH_TOKEN%\\x.dll");
    ids.Add(L"not-a-guid", L"C:\\not-a-guid.dll");
}

struct Expect {
    const GUID* id;
    bool contained;
    std::wstring path; // empty: GetModulePath answers false
};

void Check(qkTalObjectRepository& repository, const std::vector<Expect>& table)
{
    for (const Expect& e : table) {
        SCOPED_TRACE(GuidText(*e.id));
        EXPECT_EQ(repository.Contains(*e.id), e.contained);
        std::wstring path;
        EXPECT_EQ(repository.GetModulePath(*e.id, path), !e.path.empty());
        if (!e.path.empty()) {
            EXPECT_EQ(path, e.path);
        }
    }
}

TEST(qkTalObjectRepository, ResolvesFromTheSettingsDllAndTheRegistry)
{
    ScopedRoot root(L"objfix_root");
    ScopedObjIds ids;
    AddRegistryEntries(ids);
    qkTalObjectRepository repository;
    Check(repository, {
                          {&CLSID_FixtureWidget, true, root.Path() + L"..\\objfix_component.dll"}, // settings only
                          {&kObjIdInBoth, true, root.Path() + L"from-settings.dll"},       // the settings store wins
                          {&kObjIdRegistryOnly, true, root.Path() + L"registry-only.dll"}, // registry, token expanded
                          {&kObjIdSettingsNoPath, false, L""},                             // no "InProc32": skipped
                          {&kObjIdRegistryNoPath, false, L""},
                          {&kObjIdBadToken, true, L""}, // known, but does not expand
                          {&CLSID_FixtureUnknown, false, L""},
                      });
    EXPECT_FALSE(IsModuleLoaded(root.Path() + L"qkSet.dll")) << "each fill unloads the settings DLL again";
}

TEST(qkTalObjectRepository, RegistryServesWhenTheSettingsDllIsRefusedOrMissing)
{
    // The trust stand-in rejects the settings DLL of the "untrusted" root; the third root has no
    // settings DLL reachable (no QKROOT at all).
    for (const wchar_t* folder : {L"objfix_untrusted_root", static_cast<const wchar_t*>(nullptr)}) {
        SCOPED_TRACE(folder ? folder : L"(no root)");
        ScopedRoot root(folder);
        ScopedObjIds ids;
        AddRegistryEntries(ids);
        TrustLog log;
        qkTalObjectRepository repository;
        Check(repository, {
                              {&CLSID_FixtureWidget, false, L""},
                              {&kObjIdInBoth, true, L"C:\\from-registry.dll"},
                              {&kObjIdRegistryNoPath, false, L""},
                          });
        if (folder) {
            EXPECT_GE(log.Count(L"VerifyFile " + root.Path() + L"qkSet.dll 3"), 1);
            EXPECT_FALSE(IsModuleLoaded(root.Path() + L"qkSet.dll"));
        }
    }
}

TEST(qkTalObjectRepository, SettingsDllWithoutTrustDllLoadsUnchecked)
{
    ScopedRoot root(L"objfix_notrust_root");
    qkTalObjectRepository repository;
    std::wstring path;
    ASSERT_TRUE(repository.GetModulePath(kObjIdInBoth, path));
    EXPECT_EQ(path, root.Path() + L"from-settings.dll");
}

TEST(qkTalObjectRepository, EveryMissReloadsBothSources)
{
    ScopedRoot root(L"objfix_root");
    ScopedObjIds ids;
    TrustLog log;
    const std::wstring settingsCheck = L"VerifyFile " + root.Path() + L"qkSet.dll 3";
    qkTalObjectRepository repository;

    EXPECT_FALSE(repository.Contains(kObjIdRegistryOnly));
    EXPECT_EQ(log.Count(settingsCheck), 2) << "the first load and the reload after the miss";
    EXPECT_FALSE(repository.Contains(kObjIdRegistryOnly));
    EXPECT_EQ(log.Count(settingsCheck), 3);
    EXPECT_TRUE(repository.Contains(kObjIdInBoth));
    EXPECT_EQ(log.Count(settingsCheck), 3) << "a hit needs no reload";

    // Registered after the first load: found on the next miss.
    ids.Add(GuidText(kObjIdRegistryOnly), L"C:\\late.dll");
    std::wstring path;
    ASSERT_TRUE(repository.GetModulePath(kObjIdRegistryOnly, path));
    EXPECT_EQ(path, L"C:\\late.dll");
}

TEST(qkTalObjectRepository, CurrentRepositoryIsTheLibrarysOwn)
{
    ScopedRoot root(L"objfix_root");
    std::wstring path;
    ASSERT_TRUE(qkTalObjectRepository::CurrentGetModulePath(kObjIdInBoth, path));
    EXPECT_EQ(path, root.Path() + L"from-settings.dll");
    EXPECT_TRUE(qkTalObjectRepository::CurrentContains(CLSID_FixtureWidget));
    EXPECT_FALSE(qkTalObjectRepository::CurrentContains(CLSID_FixtureUnknown));
}

} // namespace
