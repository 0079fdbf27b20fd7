#include "common/errors/qkTalDebugOptions.h"

#include "LogTestSupport.h"
#include "LoggerPeek.h"

#include <gtest/gtest.h>

using logtest::FixtureKey;

namespace {

class qkTalDebugOptionsTest : public ::testing::Test {
protected:
    void SetUp() override { logtest::RemoveFixtures(); }
    void TearDown() override { logtest::RemoveFixtures(); }

    static std::wstring OutputKey() { return logtest::DebugKeyPath() + L"\\DebugOutput"; }
    static std::wstring CrashKey() { return logtest::DebugKeyPath() + L"\\CrashHandler"; }
    static std::wstring ModulesKey() { return OutputKey() + L"\\Modules"; }
};

// The defaults of both keys, as Reset gives them.
void ExpectDefaults(const qkTalDebugOptions& o)
{
    EXPECT_EQ(o.DebugType, 0u);
    EXPECT_EQ(o.Directory, L"");
    EXPECT_EQ(o.OutputToDebugger, 1u);
    EXPECT_EQ(o.OutputToFile, 0u);
    for (DWORD value : {o.AppendProcessIdToFile, o.PrependThreadId, o.PrependProcessId, o.PrependDateTime,
                        o.PrependModuleName, o.AppendNewLine, o.PrependType})
        EXPECT_EQ(value, 1u);
    EXPECT_EQ(o.ExclusiveModules, 0u);
    EXPECT_TRUE(o.Modules.empty());
    for (DWORD value : {o.DumpOnNew, o.TerminateOnNew, o.DumpOnException, o.TerminateOnException, o.DumpOnPurecall,
                        o.TerminateOnPurecall, o.DumpOnSecurity, o.TerminateOnSecurity, o.DumpOnInvalidParameter,
                        o.TerminateOnInvalidParameter, o.CallbackEnabled})
        EXPECT_EQ(value, 0u);
    EXPECT_EQ(o.ThrowOnNew, 1u);
    EXPECT_EQ(o.CrashDirectory, L"");
    EXPECT_EQ(o.DumpType, 0x22u);
    EXPECT_EQ(o.AppendDateTimeToFile, 1u);
    EXPECT_EQ(o.AppendVersionToFile, 1u);
    EXPECT_EQ(o.CallbackPath, L"");
}

TEST_F(qkTalDebugOptionsTest, NoKeysGiveTheDefaults)
{
    qkTalDebugOptions options;
    ExpectDefaults(options);
    EXPECT_TRUE(options.Load());
    ExpectDefaults(options);

    // Applied to a logger: off, debugger output on, no file, every prefix and file-name switch on.
    logtest::Peek<qkDebugOutput> logger(L"Plain");
    EXPECT_TRUE(options.ApplyTo(logger));
    EXPECT_EQ(logger.Get(), (logtest::Switches{0, TRUE, FALSE, TRUE, TRUE, TRUE, TRUE, TRUE, TRUE, TRUE}));
}

TEST_F(qkTalDebugOptionsTest, ReadsEveryValueOfBothKeys)
{
    {
        FixtureKey output(OutputKey());
        output.Dword(L"DebugType", 2);
        output.String(L"Directory", L"C:\\logs");
        output.Dword(L"OutputToDebugger", 0);
        output.Dword(L"OutputToFile", 7); // any non-zero value is on
        output.Dword(L"AppendProcessIdToFile", 0);
        output.Dword(L"PrependThreadId", 0);
        output.Dword(L"PrependProcessId", 0);
        output.Dword(L"PrependDateTime", 0);
        output.Dword(L"PrependModuleName", 0);
        output.Dword(L"AppendNewLine", 0);
        output.Dword(L"PrependType", 0);
        output.Dword(L"ExclusiveModules", 1);
        FixtureKey modules(ModulesKey());
        modules.Dword(L"Alpha", 1);
        modules.Dword(L"beta", 0);
        FixtureKey crash(CrashKey());
        const wchar_t* flags[] = {L"DumpOnNew",
                                  L"TerminateOnNew",
                                  L"DumpOnException",
                                  L"TerminateOnException",
                                  L"DumpOnPurecall",
                                  L"TerminateOnPurecall",
                                  L"DumpOnSecurity",
                                  L"TerminateOnSecurity",
                                  L"DumpOnInvalidParameter",
                                  L"TerminateOnInvalidParameter",
                                  L"CallbackEnabled"};
        DWORD n = 10;
        for (const wchar_t* name : flags)
            crash.Dword(name, n++);
        crash.Dword(L"ThrowOnNew", 0);
        crash.String(L"Directory", L"%TEMP%\\dumps", REG_EXPAND_SZ);
        crash.Dword(L"DumpType", 2);
        crash.Dword(L"AppendDateTimeToFile", 0);
        crash.Dword(L"AppendVersionToFile", 0);
        crash.String(L"CallbackPath", L"C:\\cb.exe");
    }

    qkTalDebugOptions o;
    ASSERT_TRUE(o.Load());
    EXPECT_EQ(o.DebugType, 2u);
    EXPECT_EQ(o.Directory, L"C:\\logs");
    EXPECT_EQ(o.OutputToDebugger, 0u);
    EXPECT_EQ(o.OutputToFile, 7u);
    for (DWORD value : {o.AppendProcessIdToFile, o.PrependThreadId, o.PrependProcessId, o.PrependDateTime,
                        o.PrependModuleName, o.AppendNewLine, o.PrependType})
        EXPECT_EQ(value, 0u);
    EXPECT_EQ(o.ExclusiveModules, 1u);
    EXPECT_EQ(o.Modules, (qkTalDebugOptions::ModuleMap{{L"Alpha", 1}, {L"beta", 0}}));
    const DWORD crashFlags[] = {o.DumpOnNew,
                                o.TerminateOnNew,
                                o.DumpOnException,
                                o.TerminateOnException,
                                o.DumpOnPurecall,
                                o.TerminateOnPurecall,
                                o.DumpOnSecurity,
                                o.TerminateOnSecurity,
                                o.DumpOnInvalidParameter,
                                o.TerminateOnInvalidParameter,
                                o.CallbackEnabled};
    for (DWORD i = 0; i < 11; ++i)
        EXPECT_EQ(crashFlags[i], 10 + i) << i;
    EXPECT_EQ(o.ThrowOnNew, 0u);
    EXPECT_EQ(o.CrashDirectory, L"%TEMP%\\dumps"); // read as stored, not expanded
    EXPECT_EQ(o.DumpType, 2u);
    EXPECT_EQ(o.AppendDateTimeToFile, 0u);
    EXPECT_EQ(o.AppendVersionToFile, 0u);
    EXPECT_EQ(o.CallbackPath, L"C:\\cb.exe");

    // A second load starts from the defaults: values removed since are gone.
    logtest::RemoveFixtures();
    EXPECT_TRUE(o.Load());
    ExpectDefaults(o);
}

TEST_F(qkTalDebugOptionsTest, ValuesOfTheWrongTypeCountAsAbsent)
{
    {
        FixtureKey output(OutputKey());
        output.String(L"DebugType", L"3");
        output.String(L"OutputToDebugger", L"0");
        output.Dword(L"Directory", 5);
        const char odd[] = {'C', 0, ':'}; // an odd byte count is no UTF-16 text
        FixtureKey crash(CrashKey());
        crash.String(L"DumpType", L"2");
        crash.Raw(L"Directory", REG_SZ, odd, 3);
        crash.Raw(L"CallbackPath", REG_BINARY, "x\0y\0", 4);
        const BYTE big[8] = {1};
        crash.Raw(L"ThrowOnNew", REG_QWORD, big, 8);
    }
    qkTalDebugOptions o;
    EXPECT_TRUE(o.Load());
    ExpectDefaults(o);
}

TEST_F(qkTalDebugOptionsTest, KeysOfTheOtherRegistryViewAreNotRead)
{
    {
        FixtureKey output(OutputKey(), logtest::OtherView());
        output.Dword(L"DebugType", 3);
        FixtureKey crash(CrashKey(), logtest::OtherView());
        crash.Dword(L"DumpType", 1);
    }
    qkTalDebugOptions o;
    EXPECT_TRUE(o.Load());
    ExpectDefaults(o);

    // The same values in the process's own view are read.
    {
        FixtureKey output(OutputKey(), logtest::OwnView());
        output.Dword(L"DebugType", 3);
    }
    EXPECT_TRUE(o.Load());
    EXPECT_EQ(o.DebugType, 3u);
}

TEST_F(qkTalDebugOptionsTest, ModuleList)
{
    {
        FixtureKey modules(ModulesKey());
        modules.Dword(L"On", 1);
        modules.Dword(L"Off", 0);
        modules.Dword(L"Big", 0xFFFFFFFF);
        modules.String(L"Text", L"1");                     // not a REG_DWORD: skipped
        modules.Dword(std::wstring(259, L'n').c_str(), 1); // the longest name that fits
    }
    qkTalDebugOptions o;
    EXPECT_TRUE(o.Load());
    EXPECT_EQ(o.Modules, (qkTalDebugOptions::ModuleMap{
                             {L"On", 1}, {L"Off", 0}, {L"Big", 0xFFFFFFFF}, {std::wstring(259, L'n'), 1}}));
    // Names match without regard to the case of ASCII letters only.
    EXPECT_EQ(o.Modules.count(L"oFF"), 1u);
    EXPECT_EQ(o.Modules.count(L"Of"), 0u);

    // A name of 260 characters stops the enumeration: the load fails, the values before stay.
    {
        FixtureKey output(OutputKey());
        output.Dword(L"DebugType", 2);
        FixtureKey modules(ModulesKey());
        modules.Dword(std::wstring(260, L'x').c_str(), 1);
    }
    EXPECT_FALSE(o.Load());
    EXPECT_EQ(o.DebugType, 2u);
}

TEST(qkTalDebugOptionsOrder, ModuleNamesIgnoreAsciiCaseOnly)
{
    qkTalDebugOptions::AsciiNoCaseLess less;
    struct Case {
        const wchar_t* a;
        const wchar_t* b;
        bool equal;
    } cases[] = {
        {L"VekLauncher", L"vEKlAUNCHER", true},
        {L"Vek", L"VekLauncher", false},
        {L"A_", L"a_", true},
        {L"\u00C4x", L"\u00E4x", false}, // non-ASCII letters are compared as they are
        {L"", L"", true},
    };
    for (const auto& c : cases) {
        const bool equal = !less(c.a, c.b) && !less(c.b, c.a);
        EXPECT_EQ(equal, c.equal) << c.a << L" / " << c.b;
    }
}

// The module filter of ApplyTo, one case per row.
TEST_F(qkTalDebugOptionsTest, ModuleFilter)
{
    struct Entry {
        const wchar_t* name;
        DWORD on;
    };
    struct Case {
        const char* what;
        DWORD exclusive;
        std::vector<Entry> modules;
        const wchar_t* logger;
        LONG level;
    } cases[] = {
        {"no list", 0, {}, L"Mine", 2},
        {"listed off in other case", 0, {{L"mINE", 0}}, L"Mine", 0},
        {"others keep the level", 0, {{L"mINE", 0}}, L"Other", 2},
        {"listed on", 0, {{L"Mine", 1}}, L"Mine", 2},
        {"exclusive without a list filters nothing", 1, {}, L"Mine", 2},
        {"exclusive, not listed", 1, {{L"Other", 1}}, L"Mine", 0},
        {"exclusive, listed on", 1, {{L"Other", 1}, {L"MINE", 5}}, L"Mine", 2},
        {"exclusive, listed off", 1, {{L"Mine", 0}}, L"Mine", 0},
        {"prefix is no match", 0, {{L"Min", 0}}, L"Mine", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        logtest::RemoveFixtures();
        {
            FixtureKey output(OutputKey());
            output.Dword(L"DebugType", 2);
            output.Dword(L"ExclusiveModules", c.exclusive);
            FixtureKey modules(ModulesKey());
            for (const Entry& e : c.modules)
                modules.Dword(e.name, e.on);
        }
        qkTalDebugOptions o;
        ASSERT_TRUE(o.Load());
        logtest::Peek<qkDebugOutput> logger(c.logger);
        EXPECT_TRUE(o.ApplyTo(logger));
        EXPECT_EQ(logger.Get().debugType, c.level);
    }
}

TEST_F(qkTalDebugOptionsTest, ApplyToSetsTheFolderOnlyWhenGiven)
{
    logtest::Peek<qkDebugOutput> logger(L"Plain");
    logger.SetDirectory(L"C:\\before");
    qkTalDebugOptions o;
    EXPECT_TRUE(o.ApplyTo(logger));
    EXPECT_EQ(logger.Folder(), L"C:\\before");
    o.Directory = L"C:\\after";
    EXPECT_TRUE(o.ApplyTo(logger));
    EXPECT_EQ(logger.Folder(), L"C:\\after");
}

TEST_F(qkTalDebugOptionsTest, LoadFromKeyWithoutAPath)
{
    qkTalDebugOptions o;
    o.DebugType = 9;
    EXPECT_FALSE(o.LoadFromKey(nullptr));
    ExpectDefaults(o);
}

} // namespace
