#include "services/launcher/VekResultCodes.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>

namespace {

struct NamedValue {
    const wchar_t* name;
    int64_t value;
};

// The codes other parts of the program test for by name, with their published values.
constexpr NamedValue kNamedResultCodes[] = {
    {L"VEK_E_STATE_FILE_MISSING", 0x80047E00},
    {L"VEK_E_JSON_NOT_PARSED", 0x80047E01},
    {L"VEK_E_SIGNATURE_NOT_TRUSTED", 0x80047E03},
    {L"VEK_E_TRUST", 0x80047E05},
    {L"VEK_E_MANIFEST_NOT_UTF8", 0x80047E06},
    {L"VEK_E_STATE_CRC_MISMATCH", 0x80047E0A},
    {L"VEK_E_FILE_NOT_FOUND", 0x80047E0B},
    {L"VEK_E_STATE_FILE_NOT_READ", 0x80047E0D},
    {L"VEK_E_NOT_ADMIN", 0x80047E0E},
    {L"VEK_E_PREREQUISITES", 0x80047E0F},
    {L"VEK_E_CLEANUP", 0x80047E10},
    {L"VEK_E_NO_CC_TOKEN", 0x80047E13},
    {L"VEK_E_NO_INSTALL_OPTIONS", 0x80047E14},
    {L"VEK_E_TRAY_WINDOW", 0x80047E27},
    {L"VEK_E_ANOTHER_INSTANCE", 0x80047E28},
    {L"VEK_E_INSTANCE_WAIT", 0x80047E2C},
    {L"VEK_E_FAILURE_COUNT", 0x80047E2D},
    {L"VEK_E_STATE_FILE", 0x80047E48},
    {L"VEK_E_JOB_INDEX", 0x80047E55},
    {L"VEK_E_REPORTER_EXCEPTION", 0x80047E84},
    {L"VEK_E_MANIFEST_NOT_IN_PACKAGE", 0x80047EA2},
    {L"VEK_E_PLUGIN_LOADER", 0x80047EC1},
    {L"VEK_E_PLUGIN_START", 0x80047EC2},
    {L"VEK_E_PLUGIN_CREATE", 0x80047EC3},
    {L"VEK_E_PLUGIN_SIGNATURE", 0x80047EC4},
    {L"VEK_E_PLUGIN_NOT_IN_MANIFEST", 0x80047EC5},
    {L"VEK_E_DOWNLOAD_FAILED", 0x80047EC6},
    {L"VEK_E_DOWNLOAD_CALL_FAILED", 0x80047EEB},
    {L"VEK_E_HTTP_DOWNLOAD", 0x80047F12},
};

// Every other value the family uses; each must be a row of the table, under a name of its own.
constexpr int64_t kOtherResultCodes[] = {
    0x80047E02, 0x80047E04, 0x80047E0C, 0x80047E11, 0x80047E12, 0x80047E41, 0x80047E42, 0x80047E43,
    0x80047E44, 0x80047E45, 0x80047E47, 0x80047E4A, 0x80047E4B, 0x80047E4C, 0x80047E4D, 0x80047E4E,
    0x80047E4F, 0x80047E51, 0x80047E53, 0x80047E59, 0x80047E5A, 0x80047E5E, 0x80047E62, 0x80047E64,
    0x80047E65, 0x80047E66, 0x80047E81, 0x80047E82, 0x80047E83, 0x80047E85, 0x80047E87, 0x80047EC7,
    0x80047EC8, 0x80047EC9, 0x80047ECA, 0x80047ECB, 0x80047ECD, 0x80047EE0, 0x80047F30,
};

HRESULT AsHresult(int64_t value)
{
    return static_cast<HRESULT>(static_cast<uint32_t>(value));
}

TEST(ResultCodes, NamedCodesHaveTheirValues)
{
    for (const NamedValue& expected : kNamedResultCodes) {
        const vek::ResultCodeInfo* row = vek::FindResultCode(AsHresult(expected.value));
        ASSERT_NE(row, nullptr) << std::hex << expected.value;
        EXPECT_STREQ(row->name, expected.name) << std::hex << expected.value;
    }
    // The constants the code uses are the table's rows.
    EXPECT_EQ(vek::VEK_E_ANOTHER_INSTANCE, AsHresult(0x80047E28));
    EXPECT_EQ(vek::VEK_E_NOT_ADMIN, AsHresult(0x80047E0E));
}

TEST(ResultCodes, OneFamilyEachValueAndNameOnce)
{
    std::set<HRESULT> values;
    std::set<std::wstring> names;
    HRESULT previous = 0;
    for (const vek::ResultCodeInfo& row : vek::ResultCodes()) {
        EXPECT_TRUE(FAILED(row.value)) << row.name;
        EXPECT_EQ(HRESULT_FACILITY(row.value), FACILITY_ITF) << row.name;
        EXPECT_GE(HRESULT_CODE(row.value), 0x7E00) << row.name;
        EXPECT_TRUE(values.insert(row.value).second) << row.name;
        EXPECT_TRUE(names.insert(row.name).second) << row.name;
        EXPECT_NE(std::wstring(row.meaning), L"") << row.name;
        EXPECT_GT(static_cast<uint32_t>(row.value), static_cast<uint32_t>(previous)) << row.name << " out of order";
        previous = row.value;
    }
    for (int64_t value : kOtherResultCodes) {
        EXPECT_NE(vek::FindResultCode(AsHresult(value)), nullptr) << std::hex << value;
    }
    EXPECT_EQ(values.size(), std::size(kNamedResultCodes) + std::size(kOtherResultCodes));
}

TEST(ResultCodes, ValuesOutsideTheTableAreUnknown)
{
    for (HRESULT value : {S_OK, E_FAIL, AsHresult(0x80047E07), AsHresult(0x80047DFF), AsHresult(0x00047E0E)}) {
        EXPECT_EQ(vek::FindResultCode(value), nullptr) << std::hex << value;
    }
}

TEST(ExitCodes, EveryCodeAndItsSets)
{
    constexpr NamedValue kExpected[] = {
        {L"ExitNormal", 0},
        {L"ExitJobEvent36", 1},
        {L"ExitJobEvent7", 2},
        {L"ExitPrerequisites", 3},
        {L"ExitSilentJobResult", 6},
        {L"ExitUserQuit", 8},
        {L"ExitAnotherInstance", 9},
        {L"ExitRestartForUpgrade", 12},
        {L"ExitRelaunched", 13},
        {L"ExitAutomaticUpgradeDisabled", 14},
        {L"ExitNoConnectionToken", 15},
        {L"ExitBootstrapFromDialog", 16},
        {L"ExitOmblNotForThisSystem", 17},
        {L"ExitOmblWithoutProduct", 19},
        {L"ExitPartialFailover", 20},
        {L"ExitUnsupportedProcessor", static_cast<int32_t>(0xC000001D)},
    };
    ASSERT_EQ(vek::ExitCodes().size(), std::size(kExpected));
    for (size_t i = 0; i < std::size(kExpected); ++i) {
        EXPECT_STREQ(vek::ExitCodes()[i].name, kExpected[i].name);
        EXPECT_EQ(vek::ExitCodes()[i].value, kExpected[i].value) << kExpected[i].name;
        EXPECT_NE(std::wstring(vek::ExitCodes()[i].situation), L"");
        EXPECT_EQ(vek::FindExitCode(static_cast<int32_t>(kExpected[i].value)), &vek::ExitCodes()[i]);
    }
    EXPECT_EQ(vek::FindExitCode(4), nullptr);

    const std::set<int32_t> removal = {3, 4, 8, 11, 15, 17, 18, 19};
    const std::set<int32_t> silent = {2, 3, 4, 6, 8, 18};
    for (int32_t code = -2; code <= 25; ++code) {
        EXPECT_EQ(vek::IsDeploymentRemovalExitCode(code), removal.count(code) == 1) << code;
        EXPECT_EQ(vek::IsSilentExitCode(code), silent.count(code) == 1) << code;
    }
    EXPECT_FALSE(vek::IsDeploymentRemovalExitCode(vek::ExitUnsupportedProcessor));
}

TEST(ExitCodes, EndPagesAreTheExitCodesTheyLeave)
{
    // Showing a page sets the exit code to the page's number.
    const std::pair<vek::EndPage, int32_t> pages[] = {
        {vek::PageAttention, 3},
        {vek::PageAttentionAfterSuccess, 4},
        {vek::PageAlreadyInstalled, 5},
        {vek::PageReDownload, 6},
        {vek::PagePackageCreated, 7},
        {vek::PageReEnrollmentInitiated, 10},
        {vek::PageRestartCountdown, 12},
        {vek::PagePrerequisite, 15},
        {vek::PageOmblNotForThisSystem, 17},
        {vek::PageBackendNotReachable, 18},
        {vek::PageOmblWithoutProduct, 19},
    };
    for (const auto& [page, number] : pages)
        EXPECT_EQ(static_cast<int32_t>(page), number);
}

} // namespace
