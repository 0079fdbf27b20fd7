// Path expansion: the token walker's table, the document walk with the job environments, and
// the folder tokens of the run location (real shell folders, and failures played by a stand-in).
#include "engine/manifest/EnvironmentParser.h"
#include "engine/manifest/JobEngineException.h"
#include "engine/manifest/ManifestDocument.h"
#include "services/launcher/VekResultCodes.h"
#include "engine/manifest/VekPathExpansion.h"

#include <gtest/gtest.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <map>
#include <string>
#include <vector>

using json = nlohmann::json;
using vek::EnvironmentParser;

TEST(EnvironmentParser, ExpandsTokens)
{
    const json environment = json::parse(R"({
        "A": 5, "S": "c", "N": "%S%", "SELF": "%SELF%", "X": "%Y%", "Y": "%X%",
        "GROW": "%GROW%%GROW%", "OBJ": {"k": "v"}, "P": "50%", "E": ""
    })");
    struct Case {
        const char* text;
        json expected;
        HRESULT hr;
    } cases[] = {
        {"%A%", 5, S_OK}, // a whole-value token keeps the value's type
        {"x%A%", "x5", S_OK},
        {"%S%-%S%", "c-c", S_OK},
        {"%N%", "c", S_OK}, // nested
        {"a%N%b", "acb", S_OK},
        {"100%%", "100%%", S_OK}, // "%%" is literal
        {"%%S%%", "%%S%%", S_OK},
        {"%UNKNOWN%", "%UNKNOWN%", E_FAIL}, // stays as written
        {"a%UNKNOWN%b%S%", "a%UNKNOWN%bc", E_FAIL},
        {"50% off", "50% off", S_OK}, // an unclosed "%"
        {"%S", "%S", S_OK},
        {"%", "%", S_OK},
        {"%SELF%", "%SELF%", S_OK}, // one pass: the result equals the input
        {"%X%", "%X%", E_FAIL},     // a cycle of two: cut, left as written
        {"pre %X% post", "pre %X% post", E_FAIL},
        {"%GROW%", "%GROW%", E_FAIL}, // grows each round: cut as well
        {"%OBJ%", json::parse(R"({"k":"v"})"), S_OK},
        {"o=%OBJ%", R"(o={"k":"v"})", S_OK},
        {"%P%%S%", "50%c", S_OK}, // "50%" + "c": the new "%" starts no token
        {"%E%", "", S_OK},
        {"", "", S_OK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        json node = json::object();
        EnvironmentParser parser(&node, 0, environment);
        json target = c.text;
        EXPECT_EQ(static_cast<uint32_t>(parser.expandString(c.text, target)), static_cast<uint32_t>(c.hr));
        EXPECT_EQ(target, c.expected);
    }
}

TEST(EnvironmentParser, SplitsIntoPieces)
{
    struct Case {
        const char* text;
        std::vector<std::string> pieces;
    } cases[] = {
        {"a%B%c", {"a", "%B%", "c"}}, {"%A%%B%", {"%A%", "%B%"}}, {"x%%y", {"x%%y"}},
        {"a%b", {"a", "%b"}},         {"%%%A%", {"%%", "%A%"}},   {"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(EnvironmentParser::split(c.text), c.pieces);
        EXPECT_EQ(EnvironmentParser::join(EnvironmentParser::split(c.text)), c.text);
    }
    const json environment = json::object();
    EXPECT_EQ(EnvironmentParser::RecursiveProcess(nullptr, 0, environment), E_POINTER);
}

namespace {

// Shell folders that answer from a table; a missing entry fails.
class TableFolders : public vek::IShellFolders {
public:
    bool vista = true;
    std::map<int, std::wstring> csidl;
    std::wstring publicDownloads;
    std::wstring documents;

    bool IsVistaOrLater() override { return vista; }
    HRESULT GetKnownFolderPath(REFKNOWNFOLDERID id, DWORD, std::wstring& path) override
    {
        const std::wstring& value = IsEqualGUID(id, FOLDERID_PublicDownloads) ? publicDownloads : documents;
        path = value;
        return value.empty() ? E_FAIL : S_OK;
    }
    HRESULT GetFolderPath(int folder, std::wstring& path) override
    {
        const auto it = csidl.find(folder);
        if (it == csidl.end()) {
            return E_FAIL;
        }
        path = it->second;
        return S_OK;
    }
};

std::wstring KnownFolder(REFKNOWNFOLDERID id)
{
    PWSTR path = nullptr;
    EXPECT_EQ(::SHGetKnownFolderPath(id, KF_FLAG_CREATE, nullptr, &path), S_OK);
    std::wstring text = path != nullptr ? path : L"";
    ::CoTaskMemFree(path);
    return text;
}

std::string Utf8(const std::wstring& text)
{
    std::string out(
        static_cast<size_t>(::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr)), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), static_cast<int>(out.size()), nullptr, nullptr);
    out.pop_back();
    return out;
}

} // namespace

TEST(PathExpansion, ExpandsTheDocumentAndTheJobs)
{
    vek::ManifestDocument document;
    ASSERT_EQ(document.LoadFromText(R"({"vek": {
        "environment": {"RUN_LOCATION": "%INSTALLDIR%\\Vek", "HOST": "d.example", "N": 3},
        "global": {"failover": "https://%HOST%/f?%PARAMS%", "count": "%N%", "list": ["%HOST%", {"deep": "%HOST%"}]},
        "bootstrap": {"run_location": "%RUN_LOCATION%", "other": "%APPDATA%\\x"},
        "job_array": [
          {"environment": {"PAYLOAD_SOURCE": "https://%HOST%/p", "PAYLOAD_DESTINATION": "p.msi"},
           "file_array": [{"source_file": "%PAYLOAD_SOURCE%/a.msi", "destination_file": "%PAYLOAD_DESTINATION%"}]},
          {"file_array": [{"source_file": "%PAYLOAD_SOURCE%"}]}
        ]}})"),
              S_OK);
    vek::VekPathExpansion expansion;
    expansion.doPathExpansion(document);
    const json root = document.Snapshot();
    const json& vekNode = root.at("vek");
    EXPECT_EQ(vekNode.at("global").at("failover"), "https://d.example/f?%PARAMS%");
    EXPECT_EQ(vekNode.at("global").at("count"), 3);
    EXPECT_EQ(vekNode.at("global").at("list"), json::parse(R"(["d.example", {"deep": "d.example"}])"));
    EXPECT_EQ(vekNode.at("bootstrap").at("run_location"), Utf8(KnownFolder(FOLDERID_PublicDownloads) + L"\\Vek\\"));
    EXPECT_EQ(vekNode.at("bootstrap").at("other"), "%APPDATA%\\x") << "folder tokens only in the run location";
    const json& job = vekNode.at("job_array").at(0);
    EXPECT_EQ(job.at("file_array").at(0).at("source_file"), "https://d.example/p/a.msi");
    EXPECT_EQ(job.at("file_array").at(0).at("destination_file"), "p.msi");
    EXPECT_EQ(vekNode.at("job_array").at(1).at("file_array").at(0).at("source_file"), "%PAYLOAD_SOURCE%")
        << "another job's tokens are not this job's";
}

TEST(PathExpansion, EnvironmentValuesThatReferToThemselves)
{
    // The environment is expanded with itself: a value that names itself several times would
    // square its length with every round.
    vek::ManifestDocument document;
    ASSERT_EQ(document.LoadFromText(R"({"vek": {
        "environment": {"A": "%A%%A%%A%%A%", "B": "%C%", "C": "%B%", "D": "d"},
        "global": {"a": "%A%", "b": "<%B%>", "d": "%D%"}}})"),
              S_OK);
    vek::VekPathExpansion().doPathExpansion(document);
    const json root = document.Snapshot();
    EXPECT_EQ(root.at("vek").at("environment").at("A"), "%A%%A%%A%%A%");
    EXPECT_EQ(root.at("vek").at("environment").at("B"), "%C%");
    EXPECT_EQ(root.at("vek").at("global").at("b"), "<%B%>");
    EXPECT_EQ(root.at("vek").at("global").at("d"), "d");
    EXPECT_LT(root.at("vek").at("global").at("a").get<std::string>().size(), 2u * 1024 * 1024);
}

TEST(PathExpansion, FolderTokens)
{
    struct Case {
        const char* name;
        bool vista;
        std::map<int, std::wstring> csidl;
        const wchar_t* publicDownloads;
        const wchar_t* documents;
        const wchar_t* path;
        const wchar_t* expected; // null: throws `code`
        HRESULT code;
    } cases[] = {
        {"install folder",
         true,
         {},
         L"C:\\Users\\Public\\Downloads",
         L"",
         L"%INSTALLDIR%\\Sub",
         L"C:\\Users\\Public\\Downloads\\Sub",
         S_OK},
        {"documents when public downloads fail",
         true,
         {},
         L"",
         L"C:\\Docs",
         L"%INSTALLDIR%\\Sub",
         L"C:\\Docs\\Sub",
         S_OK},
        {"a folder outside ASCII",
         true,
         {},
         L"C:\\Users\\J\u00fcrgen \u4e2d",
         L"",
         L"%INSTALLDIR%\\V",
         L"C:\\Users\\J\u00fcrgen \u4e2d\\V",
         S_OK},
        {"neither", true, {}, L"", L"", L"%INSTALLDIR%", nullptr, vek::VEK_E_FOLDER_DOCUMENTS},
        {"before Vista",
         false,
         {{CSIDL_COMMON_DOCUMENTS, L"C:\\Common"}},
         L"",
         L"",
         L"%INSTALLDIR%\\S",
         L"C:\\Common\\S",
         S_OK},
        {"before Vista, no common documents",
         false,
         {},
         L"",
         L"",
         L"%INSTALLDIR%",
         nullptr,
         vek::VEK_E_FOLDER_COMMON_DOCUMENTS},
        {"application data", true, {{CSIDL_APPDATA, L"C:\\AD"}}, L"", L"", L"%APPDATA%\\V", L"C:\\AD\\V", S_OK},
        {"application data unavailable", true, {}, L"", L"", L"%APPDATA%", nullptr, vek::VEK_E_FOLDER_APPDATA},
        {"desktop unavailable", true, {}, L"", L"", L"x\\%DESKTOP%", nullptr, vek::VEK_E_FOLDER_APPDATA},
        {"folder named as its token",
         true,
         {{CSIDL_DESKTOP, L"DESKTOP"}},
         L"",
         L"",
         L"%DESKTOP%",
         nullptr,
         vek::VEK_E_FOLDER_UNEXPANDED},
        {"other names stay", true, {}, L"", L"", L"%OTHER%\\%installdir%", L"%OTHER%\\%installdir%", S_OK},
        {"unclosed", true, {}, L"P", L"", L"a%INSTALLDIR", L"a%INSTALLDIR", S_OK},
        {"a short folder before another token",
         true,
         {{CSIDL_APPDATA, L"C:\\A"}},
         L"P",
         L"",
         L"%INSTALLDIR%\\%APPDATA%",
         L"P\\C:\\A",
         S_OK},
        {"two tokens",
         true,
         {{CSIDL_DESKTOP, L"C:\\Desk"}},
         L"C:\\Public\\Downloads",
         L"",
         L"%DESKTOP%;%INSTALLDIR%",
         L"C:\\Desk;C:\\Public\\Downloads",
         S_OK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto folders = std::make_shared<TableFolders>();
        folders->vista = c.vista;
        folders->csidl = c.csidl;
        folders->publicDownloads = c.publicDownloads;
        folders->documents = c.documents;
        vek::VekPathExpansion expansion(folders);
        std::wstring path = c.path;
        try {
            expansion.expandPath(path);
            EXPECT_NE(c.expected, nullptr) << "no exception";
            if (c.expected != nullptr) {
                EXPECT_EQ(path, c.expected);
            }
        } catch (const vek::JobEngineException& e) {
            EXPECT_EQ(c.expected, nullptr);
            EXPECT_EQ(static_cast<uint32_t>(e.GetCode()), static_cast<uint32_t>(c.code));
        }
    }
}

TEST(PathExpansion, DocumentFailures)
{
    struct Case {
        const char* text;
        HRESULT code;
        const char* runLocation;
    } cases[] = {
        {R"({"other": 1})", vek::VEK_E_EXPAND_ENVIRONMENT, nullptr},
        {R"({"vek": {"bootstrap": {}}})", S_OK, nullptr}, // no run location: left out
        {R"({"vek": {"bootstrap": {"run_location": 5}}})", S_OK, nullptr},
        {R"({"vek": {"environment": "text", "bootstrap": {"run_location": "%INSTALLDIR%"}}})",
         vek::VEK_E_FOLDER_DOCUMENTS, nullptr},
        {R"({"vek": {"environment": {"R": "D:\\r"}, "bootstrap": {"run_location": "%R%"}, "job_array": [{"environment": 3}]}})",
         S_OK, "D:\\r\\"},
        {"{\"vek\": {\"environment\": {\"R\": \"D:\\\\\u00e9\u20ac\"}, \"bootstrap\": {\"run_location\": \"%R%\"}}}",
         S_OK, "D:\\\u00e9\u20ac\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        vek::ManifestDocument document;
        ASSERT_EQ(document.LoadFromText(c.text), S_OK);
        vek::VekPathExpansion expansion(std::make_shared<TableFolders>());
        HRESULT code = S_OK;
        try {
            expansion.doPathExpansion(document);
        } catch (const vek::JobEngineException& e) {
            code = e.GetCode();
        }
        EXPECT_EQ(static_cast<uint32_t>(code), static_cast<uint32_t>(c.code));
        if (c.runLocation != nullptr) {
            EXPECT_EQ(document.Snapshot()["vek"]["bootstrap"]["run_location"], c.runLocation);
        }
    }
}
