#include "engine/launcher/VekPrerequisites.h"

#include "LauncherTestSupport.h"
#include "services/launcher/VekResultCodes.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using vek::SystemFacts;

SystemFacts Facts(DWORD major, DWORD minor, WORD sp, bool admin, bool uac = false, bool guest = false,
                  bool starter = false, bool wow64 = false)
{
    SystemFacts facts;
    facts.major = major;
    facts.minor = minor;
    facts.servicePackMajor = sp;
    facts.runningAsAdmin = admin;
    facts.uacEnabled = uac;
    facts.guestAccount = guest;
    facts.starterEdition = starter;
    facts.wow64 = wow64;
    return facts;
}

TEST(Prerequisites, OutcomesOverSystemVersions)
{
    struct Case {
        const char* what;
        SystemFacts facts;
        int supported;
        int rights;
        HRESULT result;
        UINT message; // 0: none shown
    };
    const Case cases[] = {
        {"XP SP1", Facts(5, 1, 1, true), 2, 2, vek::VEK_E_PREREQUISITES, 157},
        {"XP SP2 admin", Facts(5, 1, 2, true), 0, 0, S_OK, 0},
        {"XP SP3 user", Facts(5, 1, 3, false, true), 0, 1, vek::VEK_E_NOT_ADMIN, 155},
        {"XP SP2 starter", Facts(5, 1, 2, true, false, false, true), 2, 2, vek::VEK_E_PREREQUISITES, 157},
        {"XP SP2 WOW64", Facts(5, 1, 2, true, false, false, false, true), 2, 2, vek::VEK_E_PREREQUISITES, 157},
        {"XP x64 (5.2)", Facts(5, 2, 2, true), 2, 2, vek::VEK_E_PREREQUISITES, 157},
        {"2000", Facts(5, 0, 4, true), 2, 2, vek::VEK_E_PREREQUISITES, 157},
        {"Vista admin", Facts(6, 0, 0, true), 0, 0, S_OK, 0},
        {"Vista user, UAC", Facts(6, 0, 0, false, true), 0, 0, S_OK, 0},
        {"7 user, no UAC", Facts(6, 1, 1, false, false), 0, 1, vek::VEK_E_NOT_ADMIN, 155},
        {"10 guest, UAC", Facts(10, 0, 0, false, true, true), 0, 1, vek::VEK_E_NOT_ADMIN, 155},
        {"10 guest admin", Facts(10, 0, 0, true, true, true), 0, 0, S_OK, 0},
        {"10 on WOW64, UAC", Facts(10, 0, 0, false, true, false, false, true), 0, 0, S_OK, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vek::CheckSupportedSystem(c.facts), c.supported) << c.what;
        EXPECT_EQ(vek::CheckAdministratorRights(c.facts), c.rights) << c.what;
        for (bool silent : {false, true}) {
            std::vector<UINT> shown;
            EXPECT_EQ(vek::CheckPrerequisites(c.facts, silent, [&](UINT id) { shown.push_back(id); }), c.result)
                << c.what;
            if (c.message == 0 || silent) {
                EXPECT_TRUE(shown.empty()) << c.what;
            } else {
                EXPECT_EQ(shown, std::vector<UINT>{c.message}) << c.what;
            }
        }
    }
}

TEST(Prerequisites, ThisMachineUnderWine)
{
    // Wine runs every process as a full administrator on a system from Windows 7 on.
    const SystemFacts facts = SystemFacts::Read();
    EXPECT_GE(facts.major, 6u);
    EXPECT_TRUE(facts.runningAsAdmin);
    EXPECT_EQ(vek::CheckPrerequisites(facts, true, nullptr), S_OK);
}

nlohmann::json InstallJob(const char* components, const char* createMsi = "false", const char* runKey = "QOR",
                          const char* destination = "%PAYLOAD_DESTINATION%\\ombl.msi")
{
    nlohmann::json job = {{"product_data", {{"run_key", runKey}}},
                          {"create_msi", createMsi},
                          {"distribution", {{"components", components}}},
                          {"file_array", nlohmann::json::array()}};
    job["file_array"].push_back({{"component", "qor"}, {"type", "job_installer"}, {"destination_file", "qor.msi"}});
    if (destination != nullptr) {
        job["file_array"].push_back(
            {{"component", "OMBL"}, {"type", "job_installer"}, {"destination_file", destination}});
    }
    return job;
}

TEST(Prerequisites, OmblOnlyPackage)
{
    struct Case {
        const char* what;
        nlohmann::json job;
        int installedAnswer;
        HRESULT result;
        int32_t exitCode; // -1: unchanged
        bool queried;
    };
    const Case cases[] = {
        {"ombl only, product missing", InstallJob("ombl"), -2, vek::VEK_E_NOT_ADMIN, 19, true},
        {"ombl only, product installed", InstallJob(" ombl "), 0, S_OK, -1, true},
        {"ombl only, newer product", InstallJob("ombl"), 1, S_OK, -1, true},
        {"ombl only, no installer here", InstallJob("ombl", "false", "QOR", ""), -2, vek::VEK_E_NOT_ADMIN, 17, false},
        {"ombl only, installer filtered out", InstallJob("ombl", "false", "QOR", nullptr), 0, vek::VEK_E_NOT_ADMIN, 17,
         false},
        {"qor too", InstallJob("qor,ombl"), -2, S_OK, -1, false},
        {"qor_edr too", InstallJob("ombl, qor_edr"), -2, S_OK, -1, false},
        {"MSI package", InstallJob("ombl", "true"), -2, S_OK, -1, false},
        {"other product", InstallJob("ombl", "false", "KAJ"), -2, S_OK, -1, false},
        // The run key and create_msi are compared as the manifest view compares them: as written.
        {"run key in small letters", InstallJob("ombl", "false", "qor"), -2, S_OK, -1, false},
        {"create_msi in other letters", InstallJob("ombl", "True"), -2, vek::VEK_E_NOT_ADMIN, 19, true},
        {"no components", InstallJob(""), -2, S_OK, -1, false},
    };
    for (const Case& c : cases) {
        int32_t exitCode = -1;
        bool queried = false;
        const HRESULT hr = vek::CheckOmblPrerequisites(
            vek::ReadOmblPackage(c.job),
            [&](const wchar_t* code, const wchar_t* wow64Code) {
                queried = true;
                EXPECT_STREQ(code, L"{24BF7A02-B60A-494B-843A-793BBC77DED4}");
                EXPECT_STREQ(wow64Code, L"{F7BE9C8A-C2E6-470D-B703-0A1845E6FF8C}");
                return c.installedAnswer;
            },
            exitCode);
        EXPECT_EQ(hr, c.result) << c.what;
        EXPECT_EQ(exitCode, c.exitCode) << c.what;
        EXPECT_EQ(queried, c.queried) << c.what;
    }
}

TEST(Prerequisites, OmblFailuresAreLogged)
{
    launchertest::LogCapture log;
    int32_t exitCode = 0;
    vek::CheckOmblPrerequisites(
        vek::ReadOmblPackage(InstallJob("ombl", "false", "QOR", nullptr)),
        [](const wchar_t*, const wchar_t*) { return 0; }, exitCode);
    vek::CheckOmblPrerequisites(
        vek::ReadOmblPackage(InstallJob("ombl")), [](const wchar_t*, const wchar_t*) { return -2; }, exitCode);
    EXPECT_EQ(log.Matching(L"Error : vek::CheckOmblPrerequisites(").size(), 2u);
    EXPECT_EQ(log.Matching(L") : [PRE-REQUISITE CHECK]: OMBL installer in not available for given OS").size(), 1u);
    EXPECT_EQ(log.Matching(L") : [PRE-REQUISITE CHECK]: OMBL only package cannot be used without QOR installed").size(),
              1u);
    // Without a way to ask Windows Installer the check cannot pass.
    EXPECT_EQ(vek::CheckOmblPrerequisites(vek::ReadOmblPackage(InstallJob("ombl")), nullptr, exitCode), E_INVALIDARG);
    // A malformed job is no package of that kind.
    EXPECT_FALSE(vek::ReadOmblPackage(nlohmann::json::array()).applies);
    EXPECT_FALSE(vek::ReadOmblPackage(nlohmann::json{{"distribution", 5}, {"product_data", "x"}}).applies);
}

} // namespace
