#include "common/errors/qkTalErrorClientOptions.h"

#include "LogTestSupport.h"

#include <gtest/gtest.h>

using logtest::FixtureKey;

namespace {

class qkTalErrorClientOptionsTest : public ::testing::Test {
protected:
    void SetUp() override { logtest::RemoveFixtures(); }
    void TearDown() override { logtest::RemoveFixtures(); }
    static std::wstring Key() { return logtest::DebugKeyPath() + L"\\ErrorClient"; }
};

struct Expected {
    const wchar_t* productName;
    const wchar_t* productVersion;
    const wchar_t* directory;
    bool log;
    bool dump;
    DWORD dumpType;
    bool callback;
    const wchar_t* callbackPath;
};

void ExpectFields(const qkTalErrorClientOptions& o, const Expected& e)
{
    EXPECT_EQ(o.ProductName, e.productName);
    EXPECT_EQ(o.ProductVersion, e.productVersion);
    EXPECT_EQ(o.Directory, e.directory);
    EXPECT_EQ(o.LogLogicalFailures, e.log);
    EXPECT_EQ(o.DumpOnLogicalFailure, e.dump);
    EXPECT_EQ(o.DumpType, e.dumpType);
    EXPECT_EQ(o.CallbackOnLogicalFailure, e.callback);
    EXPECT_EQ(o.LogicalFailureCallback, e.callbackPath);
}

const Expected kOff{L"", L"", L"", false, false, 0, false, L""};

// A filled record, so that a load has something to reset.
void Fill(qkTalErrorClientOptions& o)
{
    o.ProductName = L"old";
    o.ProductVersion = L"old";
    o.Directory = L"old";
    o.LogLogicalFailures = true;
    o.DumpOnLogicalFailure = true;
    o.DumpType = 99;
    o.CallbackOnLogicalFailure = true;
    o.LogicalFailureCallback = L"old";
}

TEST_F(qkTalErrorClientOptionsTest, MissingKeySwitchesReportingOff)
{
    qkTalErrorClientOptions o;
    Fill(o);
    EXPECT_TRUE(o.Load());
    ExpectFields(o, kOff);
}

TEST_F(qkTalErrorClientOptionsTest, EmptyKeySwitchesReportingOn)
{
    {
        FixtureKey key(Key());
    }
    qkTalErrorClientOptions o;
    Fill(o);
    EXPECT_TRUE(o.Load());
    ExpectFields(o, {L"", L"", L"", true, false, 0, false, L""});
}

TEST_F(qkTalErrorClientOptionsTest, ReadsEveryValue)
{
    {
        FixtureKey key(Key());
        key.String(L"ProductName", L"Vek Product");
        key.String(L"ProductVersion", L"1.2.3.4");
        key.String(L"Directory", L"%ProgramData%\\Errors", REG_EXPAND_SZ);
        key.String(L"LogicalFailureCallback", L"C:\\cb.exe /x");
        key.Dword(L"DumpType", 0x1234);
        key.Dword(L"CallbackOnLogicalFailure", 2);
        key.Dword(L"DumpOnLogicalFailure", 1);
        key.Dword(L"LogLogicalFailures", 0);
        key.Dword(L"MaxDumpsPerBucket", 3);
    }
    qkTalErrorClientOptions o;
    EXPECT_TRUE(o.Load());
    ExpectFields(o,
                 {L"Vek Product", L"1.2.3.4", L"%ProgramData%\\Errors", false, true, 0x1234, true, L"C:\\cb.exe /x"});
}

TEST_F(qkTalErrorClientOptionsTest, ValuesOfTheWrongTypeKeepTheirPresets)
{
    {
        FixtureKey key(Key());
        key.String(L"DumpType", L"2");
        key.String(L"CallbackOnLogicalFailure", L"1");
        key.String(L"DumpOnLogicalFailure", L"1");
        key.String(L"LogLogicalFailures", L"0"); // preset 1 stays
        key.Dword(L"ProductName", 1);
        key.Raw(L"Directory", REG_EXPAND_SZ, "C\0:", 3);
        key.Raw(L"LogicalFailureCallback", REG_BINARY, "x\0\0\0", 4);
    }
    qkTalErrorClientOptions o;
    Fill(o);
    EXPECT_TRUE(o.Load());
    ExpectFields(o, {L"", L"", L"", true, false, 0, false, L""});
}

TEST_F(qkTalErrorClientOptionsTest, KeyOfTheOtherRegistryViewIsNotRead)
{
    {
        FixtureKey key(Key(), logtest::OtherView());
        key.String(L"Directory", L"C:\\other");
    }
    qkTalErrorClientOptions o;
    EXPECT_TRUE(o.Load());
    ExpectFields(o, kOff);
}

TEST_F(qkTalErrorClientOptionsTest, CopiesResetAndPathlessLoad)
{
    qkTalErrorClientOptions a;
    Fill(a);
    a.DumpType = 7;
    qkTalErrorClientOptions b;
    b = a;
    ExpectFields(b, {L"old", L"old", L"old", true, true, 7, true, L"old"});
    qkTalErrorClientOptions c(a);
    ExpectFields(c, {L"old", L"old", L"old", true, true, 7, true, L"old"});
    a.Reset();
    ExpectFields(a, kOff);
    ExpectFields(b, {L"old", L"old", L"old", true, true, 7, true, L"old"});

    EXPECT_FALSE(b.LoadFromKey(nullptr));
    ExpectFields(b, kOff);
}

} // namespace
