// StatusProbe.exe end to end under Wine: the real program, started with arguments and piped
// input, bound to the test DLL through the 64-bit registry view. Each case compares the whole
// output as it arrives through the pipe, the exit code, and the calls the DLL recorded.
#include "statusprobe/console/NameTables.h"
#include "statusprobe/console/ProbeHarness.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace probe_test;

namespace {

// Output texts of one binding failure each.
const std::string kKeyError = "Error: Unable to open SDK registry key\n";
const std::string kValueError = "Error: Unable to retrieve SDK location from registry\n";
const std::string kLoadError = "Error: Unable to load SDK client dll\n";
const std::string kExportError = "Error: pfSDKCreateObject is NULL\n";

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

std::string Repeat(const std::string& text, int times)
{
    std::string all;
    for (int i = 0; i < times; ++i) {
        all += text;
    }
    return all;
}

class StatusProbeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemoveSdkKey();
        m_registration = std::make_unique<SdkRegistration>();
        m_registration->SetPath(TestDllPath());
    }

    void TearDown() override { m_registration.reset(); }

    // Whole output (with "\r\n" line ends on the pipe), exit code, nothing on stderr.
    static void ExpectRun(const ProbeRun& run, const std::string& expected, DWORD exitCode)
    {
        EXPECT_EQ(run.output, Crlf(expected));
        EXPECT_EQ(run.exitCode, exitCode);
        EXPECT_EQ(run.errors, "");
    }

    // The DLL was bound, got exactly these calls, and its object was released at the end.
    void ExpectCalls(const std::vector<std::string>& calls)
    {
        EXPECT_EQ(m_steering.Log(), Join({{kCreated}, calls, {kDestroyed}}));
    }

    DllSteering m_steering;
    std::unique_ptr<SdkRegistration> m_registration;
};

// The interactive session around the given body: menu, prompt, body, prompt, exit.
std::string Session(const std::string& body)
{
    return Menu(true) + kPrompt + body + kPrompt + kExiting;
}

TEST_F(StatusProbeTest, CommandLineModes)
{
    struct Case {
        std::wstring arguments;
        std::string input;
        std::string expected;
        std::vector<std::string> calls;
    };
    const std::string allThenPrompt = AllDefault() + Menu(true) + kPrompt + kExiting + kUnloaded;
    const std::string promptOnly = Menu(true) + kPrompt + kExiting + kUnloaded;
    const Case cases[] = {
        // No options: everything once, then the prompt.
        {L"", "q\n", allThenPrompt, AllCalls()},
        // The end of the input ends the prompt.
        {L"", "", allThenPrompt, AllCalls()},
        // A lone character is skipped; -t without a value is ignored; -t -1 is "no test".
        {L"x", "q\n", allThenPrompt, AllCalls()},
        {L"-t", "q\n", allThenPrompt, AllCalls()},
        {L"-t -1", "q\n", allThenPrompt, AllCalls()},
        {L"-l 0", "q\n", allThenPrompt, AllCalls()},
        // One test by number: code 512 + number, whatever the number.
        {L"-t 3", "", Exec(515, kDefaultResult) + kUnloaded, {CallLine(515)}},
        {L"/T 3", "", Exec(515, kDefaultResult) + kUnloaded, {CallLine(515)}},
        {L"-test 3", "", Exec(515, kDefaultResult) + kUnloaded, {CallLine(515)}},
        {L"-t 4", "", Exec(516, kDefaultResult) + kUnloaded, {CallLine(516)}},
        {L"-t 99", "", Exec(611, kDefaultResult) + kUnloaded, {CallLine(611)}},
        {L"-t -2", "", Exec(510, kDefaultResult) + kUnloaded, {CallLine(510)}},
        // The C library's conversion: leading blanks, stop at the first non-digit, no digits give 0.
        {L"-t \" 7x\"", "", Exec(519, kDefaultResult) + kUnloaded, {CallLine(519)}},
        {L"-t abc", "", Exec(512, kDefaultResult) + kUnloaded, {CallLine(512)}},
        // Loops: all codes or the one test, so many times; a negative count runs nothing.
        {L"-l 2", "", AllDefault() + AllDefault() + kUnloaded, Join({AllCalls(), AllCalls()})},
        {L"/L 1", "", AllDefault() + kUnloaded, AllCalls()},
        {L"-l 2 -t 0", "", Repeat(Exec(512, kDefaultResult), 2) + kUnloaded, {CallLine(512), CallLine(512)}},
        {L"-t 0 -l 3",
         "",
         Repeat(Exec(512, kDefaultResult), 3) + kUnloaded,
         {CallLine(512), CallLine(512), CallLine(512)}},
        {L"-l -1", "", kUnloaded, {}},
        {L"-l -1 -t 5", "", kUnloaded, {}},
        // Interactive: test and loop are ignored.
        {L"-i", "q\n", promptOnly, {}},
        {L"/I", "", promptOnly, {}},
        {L"-i -t 3 -l 2", "q\n", promptOnly, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "arguments \"" << std::string(c.arguments.begin(), c.arguments.end())
                                        << "\"");
        const ProbeRun run = RunProbe(c.arguments, c.input);
        ExpectRun(run, c.expected, 0);
        ExpectCalls(c.calls);
        // Start each case with an empty log.
        m_steering.Reset();
    }
}

TEST_F(StatusProbeTest, InvalidCommandLinePrintsUsageWithoutBinding)
{
    const std::wstring cases[] = {L"-x", L"foo", L"-m", L"/?", L"-i foo", L"-t 3 --", L"ab -l 2", L"-i -x -t 3"};
    for (const auto& arguments : cases) {
        SCOPED_TRACE(testing::Message() << "arguments \"" << std::string(arguments.begin(), arguments.end()) << "\"");
        const ProbeRun run = RunProbe(arguments, "q\n");
        ExpectRun(run, Usage("StatusProbe.exe"), 0);
        EXPECT_FALSE(m_steering.LogExists()) << "the DLL was loaded";
    }
}

TEST_F(StatusProbeTest, UsageArrivesAsAnsiTextWithCrLf)
{
    // wprintf on a pipe: the C runtime's text mode turns the wide text into narrow bytes and
    // each line feed into CR LF.
    const ProbeRun run = RunProbe(L"-x");
    const std::string head = "Usage: StatusProbe.exe [-m] [-i] [-t <num>] [-l <count>]\r\n\t[i]nteractive";
    EXPECT_EQ(run.output.substr(0, head.size()), head);
    EXPECT_EQ(run.output.find('\0'), std::string::npos);
    const std::string tail = "[53]: PS_STATUS::eGetDisplayName\r\n[54]: <unknown>\r\n";
    ASSERT_GE(run.output.size(), tail.size());
    EXPECT_EQ(run.output.substr(run.output.size() - tail.size()), tail);
}

TEST_F(StatusProbeTest, InteractiveLines)
{
    struct Case {
        std::string line;
        std::string body; // what the line prints
        std::vector<std::string> calls;
    };
    const std::string sorry = "Sorry, ";
    auto invalid = [&](const std::string& line) { return sorry + line + " is not a valid entry.\n" + Menu(true); };
    const std::string longTail(9, 'b');
    const std::string longParameter(61, 'b');
    const Case cases[] = {
        // A number, and the rest of the line after the one blank as the parameter.
        {"12 hello world", Exec(524, kDefaultResult), {CallLine(524, "hello world")}},
        {"0", Exec(512, kDefaultResult), {CallLine(512)}},
        {" 5", Exec(517, kDefaultResult), {CallLine(517)}},
        {"5 ", Exec(517, kDefaultResult), {CallLine(517)}},
        {"5  two blanks", Exec(517, kDefaultResult), {CallLine(517, " two blanks")}},
        {"1 a,b-c", Exec(513, kDefaultResult), {CallLine(513, "a,b-c")}},
        // Numbers outside the menu are sent as well.
        {"99", Exec(611, kDefaultResult), {CallLine(611)}},
        {"4", Exec(516, kDefaultResult), {CallLine(516)}},
        // Menu, help and run-all.
        {"h", Menu(true), {}},
        {"M", Menu(true), {}},
        {"menu", Menu(true), {}},
        {"a", AllDefault(), AllCalls()},
        {"A", AllDefault(), AllCalls()},
        // Rejected lines: empty, punctuation anywhere, letters or sign in the number.
        {"", invalid(""), {}},
        {"-3", invalid("-3"), {}},
        {"3a", invalid("3a"), {}},
        {"1,2", invalid("1,2"), {}},
        {"3.5", invalid("3.5"), {}},
        {"7 x=y", invalid("7 x=y"), {}},
        {"+4", invalid("+4"), {}},
        {"x", invalid("x"), {}},
        {"   ", invalid("   "), {}},
        // A line longer than 63 characters: the first 63 count, the rest comes as the next line.
        {"1 " + longParameter + longTail,
         Exec(513, kDefaultResult) + kPrompt + invalid(longTail),
         {CallLine(513, longParameter)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("line \"" + c.line + "\"");
        const ProbeRun run = RunProbe(L"-i", c.line + "\nq\n");
        ExpectRun(run, Session(c.body) + kUnloaded, 0);
        ExpectCalls(c.calls);
        m_steering.Reset();
    }
}

TEST_F(StatusProbeTest, InteractiveExitsAndEndOfInput)
{
    struct Case {
        std::string input;
        std::string expected;
    };
    const std::string menuPrompt = Menu(true) + kPrompt;
    const Case cases[] = {
        {"e\n", menuPrompt + kExiting},
        {"E\n", menuPrompt + kExiting},
        {"Quit\n", menuPrompt + kExiting},
        {"q", menuPrompt + kExiting},
        // End of input, also after a line without its line break.
        {"", menuPrompt + kExiting},
        {"h", menuPrompt + Menu(true) + kPrompt + kExiting},
        {"3\n", menuPrompt + Exec(515, kDefaultResult) + kPrompt + kExiting},
        // Lines after "q" are not read.
        {"q\n3\n", menuPrompt + kExiting},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("input \"" + c.input + "\"");
        const ProbeRun run = RunProbe(L"-i", c.input);
        ExpectRun(run, c.expected + kUnloaded, 0);
        m_steering.Reset();
    }
}

TEST_F(StatusProbeTest, StatusValueNames)
{
    // Codes 512, 513, ... answer the values of the table in turn, then values without a name.
    std::vector<std::string> script;
    std::vector<std::pair<long, std::string>> answers;
    for (const auto& [value, name] : kStatusNames) {
        answers.emplace_back(value, name);
    }
    for (const long unnamed : {0L, 255L, 263L, 266L, 277L, 281L, 314L, 300L, -5L}) {
        answers.emplace_back(unnamed, std::to_string(unnamed));
    }
    ASSERT_LE(answers.size(), 55u);
    std::string expected;
    for (long code = 512; code <= 566; ++code) {
        const size_t index = static_cast<size_t>(code - 512);
        if (index < answers.size()) {
            script.push_back(std::to_string(code) + " i4=" + std::to_string(answers[index].first));
            expected += Exec(code, answers[index].second);
        } else {
            expected += Exec(code, kDefaultResult);
        }
    }
    m_steering.WriteScript(script);
    const ProbeRun run = RunProbe(L"-l 1");
    ExpectRun(run, expected + kUnloaded, 0);
    ExpectCalls(AllCalls());
}

TEST_F(StatusProbeTest, ErrorNames)
{
    // A non-zero error VARIANT wins over the result the DLL also returned.
    std::vector<std::pair<long, std::string>> answers;
    for (const auto& [code, name] : kErrorNames) {
        if (code != 0) {
            answers.emplace_back(code, name);
        }
    }
    for (const long unnamed : {7L, 18L, 20L, 28L, 30L, 32L, -1L}) {
        answers.emplace_back(unnamed, "<unknown>");
    }
    ASSERT_LE(answers.size(), 55u);
    std::vector<std::string> script;
    std::string expected;
    for (long code = 512; code <= 566; ++code) {
        const size_t index = static_cast<size_t>(code - 512);
        if (index < answers.size()) {
            script.push_back(std::to_string(code) + " i4=258 error=" + std::to_string(answers[index].first));
            expected += Exec(code, "*FAILED*: error = " + answers[index].second);
        } else {
            // error=0 is no error: the result prints.
            script.push_back(std::to_string(code) + " error=0 i4=256");
            expected += Exec(code, "PS_STATUS::eStatusOff");
        }
    }
    m_steering.WriteScript(script);
    const ProbeRun run = RunProbe(L"-l 1");
    ExpectRun(run, expected + kUnloaded, 0);
    ExpectCalls(AllCalls());
}

TEST_F(StatusProbeTest, OperationNamesInMenuAndRuns)
{
    // Every code of the range in the menu and in the executor's line, named or "<unknown>".
    for (long code = 512; code <= 566; ++code) {
        bool listed = false;
        for (const auto& row : kOperationNames) {
            listed = listed || row.first == code;
        }
        EXPECT_EQ(OperationName(code) == "<unknown>", !listed);
    }
    const ProbeRun run = RunProbe(L"-i", "m\na\n");
    ExpectRun(run, Session(Menu(true) + kPrompt + AllDefault()) + kUnloaded, 0);
    EXPECT_NE(run.output.find("[53]: PS_STATUS::eGetDisplayName\r\n[54]: <unknown>\r\n"), std::string::npos);
    EXPECT_NE(run.output.find("Executing <unknown>... PS_STATUS::eStatusEnabled\r\n"), std::string::npos);
}

TEST_F(StatusProbeTest, ResultKindsAndErrorResults)
{
    struct Case {
        std::string answer; // the DLL's answer to code 512
        std::string line;   // what follows "Executing ...eGetAPStatus... "
    };
    const auto failed = [](HRESULT hr, const std::string& message) {
        char code[16];
        std::snprintf(code, sizeof(code), "0x%08X", static_cast<unsigned>(hr));
        return "Failed (_com_error): " + std::string(code) + " - " + message;
    };
    // These codes must have system text, else the case would test the fallback instead.
    for (const HRESULT hr : {E_FAIL, E_ACCESSDENIED, E_INVALIDARG, HRESULT(0x80070002)}) {
        EXPECT_NE(SystemMessage(hr), "") << std::hex << hr;
    }
    EXPECT_EQ(SystemMessage(HRESULT(0x80040201)), "");
    EXPECT_EQ(SystemMessage(HRESULT(0x8FFF1234)), "");

    const Case cases[] = {
        // VT_I4: a status by name, a number without a name as its decimal text.
        {"i4=272", "PS_STATUS::eStatusGood"},
        {"i4=300", "300"},
        {"i4=-7", "-7"},
        // VT_BOOL: any non-zero value is true.
        {"bool=-1", "True"},
        {"bool=0", "False"},
        {"bool=1", "True"},
        // Other types through the system's conversion to text.
        {"bstr=Product Name 2024", "Product Name 2024"},
        // Text outside ASCII arrives whole, as UTF-8 (the script is UTF-8 too).
        {"bstr=Gr\u00FC\u00DFe \u2713 \u540D\u524D \U0001F600 end",
         "Gr\u00FC\u00DFe \u2713 \u540D\u524D \U0001F600 end"},
        {"bstr=", ""},
        {"empty", ""},
        {"i2=258", "258"},
        {"r8=2.5", "2.5"},
        {"null", "<type conversion error>"},
        // The error VARIANT, with or without a result.
        {"error=3 i4=258", "*FAILED*: error = PS_STATUS::eErrorInvalidArg"},
        {"error=3", "*FAILED*: error = PS_STATUS::eErrorInvalidArg"},
        {"error=0 bstr=fine", "fine"},
        // A failing HRESULT, whatever the VARIANTs hold; a success code other than S_OK is success.
        {"hr=80004005 error=3 i4=258", failed(E_FAIL, SystemMessage(E_FAIL))},
        {"hr=80070005", failed(E_ACCESSDENIED, SystemMessage(E_ACCESSDENIED))},
        {"hr=80070057", failed(E_INVALIDARG, SystemMessage(E_INVALIDARG))},
        {"hr=80070002", failed(HRESULT(0x80070002), SystemMessage(HRESULT(0x80070002)))},
        {"hr=80040201", failed(HRESULT(0x80040201), "IDispatch error #1")},
        {"hr=80040300", failed(HRESULT(0x80040300), "IDispatch error #256")},
        {"hr=8FFF1234", failed(HRESULT(0x8FFF1234), "Unknown error 0x8FFF1234")},
        {"hr=00000001 i4=258", "PS_STATUS::eStatusEnabled"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("answer \"" + c.answer + "\"");
        m_steering.WriteScript({"512 " + c.answer});
        const ProbeRun run = RunProbe(L"-t 0");
        ExpectRun(run, Exec(512, c.line) + kUnloaded, 0);
        ExpectCalls({CallLine(512)});
        m_steering.Reset();
    }
}

TEST_F(StatusProbeTest, FailedOperationDoesNotStopTheRun)
{
    m_steering.WriteScript({"513 hr=80004005", "514 error=4", "515 bstr=Name"});
    const ProbeRun run = RunProbe(L"-i", "0\n1\n2\n3\nq\n");
    const std::string body = Exec(512, kDefaultResult) + kPrompt +
                             Exec(513, "Failed (_com_error): 0x80004005 - " + SystemMessage(E_FAIL)) + kPrompt +
                             Exec(514, "*FAILED*: error = PS_STATUS::eErrorInternal") + kPrompt + Exec(515, "Name");
    ExpectRun(run, Session(body) + kUnloaded, 0);
    ExpectCalls({CallLine(512), CallLine(513), CallLine(514), CallLine(515)});
}

TEST_F(StatusProbeTest, BindingFailures)
{
    struct Case {
        const char* name;
        std::function<void(SdkRegistration*)> setUp; // nullptr registration: no key at all
        std::string expected;
        DWORD exitCode;
        bool dllLoaded;
    };
    const std::wstring dll = TestDllPath();
    const std::string createFailed =
        "Failed to create object\n_com_error: 0x80004005 - " + ComErrorText(E_FAIL) + "\n" + kUnloaded;
    const std::string createNull =
        "Failed to create object\n_com_error: 0x80004003 - " + ComErrorText(E_POINTER) + "\n" + kUnloaded;
    const Case cases[] = {
        {"no key", nullptr, kKeyError, 1, false},
        {"no value", [](SdkRegistration*) {}, kValueError, 1, false},
        {"REG_DWORD",
         [](SdkRegistration* r) {
             const DWORD one = 1;
             r->SetRaw(REG_DWORD, &one, sizeof(one));
         },
         kValueError, 1, false},
        {"REG_BINARY",
         [&](SdkRegistration* r) { r->SetRaw(REG_BINARY, dll.c_str(), static_cast<DWORD>((dll.size() + 1) * 2)); },
         kValueError, 1, false},
        {"REG_MULTI_SZ",
         [&](SdkRegistration* r) {
             const std::wstring multi = dll + L'\0' + L'\0';
             r->SetRaw(REG_MULTI_SZ, multi.c_str(), static_cast<DWORD>(multi.size() * 2));
         },
         kValueError, 1, false},
        // The stored text is followed by a character, not a NUL, or the registry would count the NUL in.
        {"text without its NUL",
         [&](SdkRegistration* r) {
             const std::wstring unterminated = dll + L"X";
             r->SetRaw(REG_SZ, unterminated.c_str(), static_cast<DWORD>(dll.size() * 2));
         },
         kValueError, 1, false},
        {"path longer than 259 characters", [&](SdkRegistration* r) { r->SetPath(std::wstring(260, L'a')); },
         kValueError, 1, false},
        {"missing file", [&](SdkRegistration* r) { r->SetPath(BinFolder() + L"\\NoSuchSdk.dll"); }, kLoadError, 1,
         false},
        {"empty path", [&](SdkRegistration* r) { r->SetPath(L""); }, kLoadError, 1, false},
        {"DLL without the export", [&](SdkRegistration* r) { r->SetPath(L"C:\\windows\\system32\\kernel32.dll"); },
         kExportError, 1, false},
        {"object creation fails", [&](SdkRegistration* r) { r->SetPath(dll); }, createFailed, 1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DllSteering& steering = m_steering;
        steering.Reset();
        if (std::string(c.name) == "object creation fails") {
            steering.WriteScript({"create 80004005"});
        }
        m_registration.reset();
        if (c.setUp) {
            m_registration = std::make_unique<SdkRegistration>();
            c.setUp(m_registration.get());
        }
        const ProbeRun run = RunProbe(L"", "q\n");
        ExpectRun(run, c.expected, c.exitCode);
        EXPECT_EQ(steering.LogExists(), c.dllLoaded);
        if (c.dllLoaded) {
            EXPECT_EQ(steering.Log(), std::vector<std::string>{kCreated});
        }
    }

    // Success without an object is a failed creation too.
    DllSteering& steering = m_steering;
    steering.Reset();
    steering.WriteScript({"create null"});
    m_registration.reset();
    m_registration = std::make_unique<SdkRegistration>();
    m_registration->SetPath(dll);
    ExpectRun(RunProbe(L"-t 0"), createNull, 1);
    EXPECT_EQ(steering.Log(), std::vector<std::string>{kCreated});
}

TEST_F(StatusProbeTest, PathValuesThatLoad)
{
    struct Case {
        const char* name;
        std::wstring path;
        DWORD type;
    };
    // Pad the real path with ".\" up to exactly 259 characters: the longest path the value holds.
    const std::wstring dll = TestDllPath();
    const std::wstring file = L"\\SecurityStatusTest.dll";
    std::wstring padded = BinFolder();
    if ((259 - padded.size() - file.size()) % 2 != 0) {
        padded += L"\\..\\bin";
    }
    while (padded.size() + file.size() < 259) {
        padded += L"\\.";
    }
    padded += file;
    ASSERT_EQ(padded.size(), 259u);
    const std::wstring folder = BinFolder();
    ::SetEnvironmentVariableW(L"VEK_SSTEST_BIN", folder.c_str());
    const Case cases[] = {
        {"REG_SZ", dll, REG_SZ},
        {"REG_EXPAND_SZ without variables", dll, REG_EXPAND_SZ},
        // Variables are expanded before the path is loaded.
        {"REG_EXPAND_SZ with a variable", L"%VEK_SSTEST_BIN%\\SecurityStatusTest.dll", REG_EXPAND_SZ},
        {"259 characters", padded, REG_SZ},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DllSteering& steering = m_steering;
        steering.Reset();
        m_registration->SetPath(c.path, c.type);
        const ProbeRun run = RunProbe(L"-t 1");
        ExpectRun(run, Exec(513, kDefaultResult) + kUnloaded, 0);
        EXPECT_EQ(steering.Log(), (std::vector<std::string>{kCreated, CallLine(513), kDestroyed}));
    }
    // Unexpanded, the variable's name is no path.
    ::SetEnvironmentVariableW(L"VEK_SSTEST_BIN", nullptr);
    m_registration->SetPath(L"%VEK_SSTEST_BIN%\\SecurityStatusTest.dll", REG_EXPAND_SZ);
    ExpectRun(RunProbe(L"-t 1"), kLoadError, 1);
}

} // namespace
