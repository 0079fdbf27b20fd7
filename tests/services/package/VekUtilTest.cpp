// Manifest extraction from packaged programs, the state file and its checksum, and the manifest-
// driven lookups of the launcher utilities.
#include "PackageTestSupport.h"

#include "services/launcher/VekUtil.h"

#include <regex>

using namespace packagetest;

namespace {
uint32_t Crc32(const void* data, size_t n)
{
    uint32_t crc = 0xFFFFFFFFu;
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) {
            crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
        }
    }
    return ~crc;
}
} // namespace

TEST(VekUtilManifest, LoadsFromPackagedPrograms)
{
    struct Case {
        const wchar_t* file;
        HRESULT expected;
    } cases[] = {
        {L"v2.exe", S_OK},
        {L"v5.exe", S_OK},
        {L"signed_v2.exe", S_OK},
        {L"signed_after_v5.exe", S_OK},
        {L"v5_utf8bom.exe", S_OK},
        {L"v5_utf16le.exe", vek::VEK_E_MANIFEST_NOT_UTF8},
        {L"v2_utf16be.exe", vek::VEK_E_MANIFEST_NOT_UTF8},
        {L"v5_array.exe", vek::VEK_E_JSON_NOT_PARSED},
        {L"v5_broken.exe", vek::VEK_E_JSON_NOT_PARSED},
        {L"plain.exe", vek::VEK_E_MANIFEST_NOT_IN_PACKAGE},
        {L"signed_plain.exe", vek::VEK_E_MANIFEST_NOT_IN_PACKAGE},
        {L"signed_inner_v5.exe", vek::VEK_E_MANIFEST_NOT_IN_PACKAGE}, // inside the certificate directory
        {L"manifest.json", HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.file, c.file + wcslen(c.file)));
        nlohmann::json document;
        EXPECT_EQ(static_cast<uint32_t>(vek::LoadManifest(Fixture(c.file).c_str(), document)),
                  static_cast<uint32_t>(c.expected));
        if (c.expected == S_OK) {
            EXPECT_EQ(document["vek"]["jobs"][0]["name"], "Caf\u00e9 \u00fcber \u20ac");
            EXPECT_EQ(vek::GetRegistryContext(document), HKEY_LOCAL_MACHINE);
        } else {
            EXPECT_TRUE(document.is_null()) << "a failed load leaves the document alone";
        }
    }
    nlohmann::json document;
    EXPECT_EQ(vek::LoadManifest(nullptr, document), E_INVALIDARG);
    EXPECT_EQ(vek::LoadManifest(L"", document), E_INVALIDARG);
    EXPECT_TRUE(FAILED(vek::LoadManifest(Fixture(L"missing.exe").c_str(), document)));
}

TEST(VekUtilManifest, ManifestDataFailuresAreReported)
{
    std::vector<uint8_t> data{1, 2, 3};
    EXPECT_EQ(vek::GetManifestData(Fixture(L"plain.exe").c_str(), data), vek::VEK_E_MANIFEST_NOT_IN_PACKAGE);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(vek::GetManifestData(Fixture(L"v5.exe").c_str(), data), S_OK);
    EXPECT_EQ(data, ReadAll(Fixture(L"manifest.json")));
}

TEST(VekUtilManifest, ByteOrderMarks)
{
    struct Case {
        std::vector<uint8_t> bytes;
        int expected;
    } cases[] = {
        {{0xEF, 0xBB, 0xBF, '{'}, 0}, {{0xEF, 0xBB}, -1},      {{0xFE, 0xFF, 0, '{'}, 1},
        {{0xFF, 0xFE, '{', 0}, 2},    {{0xFF, 0xFE, 0, 0}, 2}, {{0, 0, 0xFE, 0xFF}, 3},
        {{0, 0, 0xFE}, -1},           {{'{', '}'}, -1},        {{}, -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vek::DetectByteOrderMark(c.bytes.data(), c.bytes.size()), c.expected);
    }
}

TEST(VekUtilStateFile, ChecksumRules)
{
    const nlohmann::json vekMember = {{"global", {{"manifest_id", "{X}"}}}, {"jobs", {{{"job_id", "j\u00e9"}}}}};
    const std::wstring text = vek::WriteStateJsonText(vekMember);
    ASSERT_EQ(text.back(), L'\n');
    const uint32_t whole = Crc32(text.data(), text.size() * 2);
    const uint32_t firstHalf = Crc32(text.data(), text.size());

    ScratchFolder scratch(L"vek-state");
    struct Case {
        const char* what;
        std::string content;
        HRESULT expected;
    } cases[] = {
        {"checksum of all bytes", nlohmann::json{{"vek", vekMember}, {"crc", whole}}.dump(), S_OK},
        {"checksum of the first half", nlohmann::json{{"vek", vekMember}, {"crc", firstHalf}}.dump(), S_OK},
        {"wrong checksum", nlohmann::json{{"vek", vekMember}, {"crc", whole ^ 1}}.dump(),
         vek::VEK_E_STATE_CRC_MISMATCH},
        {"no checksum", nlohmann::json{{"vek", vekMember}}.dump(), vek::VEK_E_STATE_CRC_MISMATCH},
        {"empty file", "", vek::VEK_E_STATE_FILE_MISSING},
        {"not JSON", "{\"vek\": ", vek::VEK_E_JSON_NOT_PARSED},
        {"root not an object", "[1]", vek::VEK_E_JSON_NOT_PARSED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring path = scratch.File(L"state.json");
        WriteAll(path, Bytes(c.content.begin(), c.content.end()));
        nlohmann::json document;
        EXPECT_EQ(static_cast<uint32_t>(vek::LoadJsonFile(path.c_str(), document)), static_cast<uint32_t>(c.expected));
    }
    nlohmann::json document;
    EXPECT_EQ(vek::LoadJsonFile(scratch.File(L"missing.json").c_str(), document), vek::VEK_E_STATE_FILE_MISSING);
    EXPECT_EQ(vek::LoadJsonFile(nullptr, document), E_INVALIDARG);
}

TEST(VekUtilLookups, RegistryContextAndInstallerEntry)
{
    struct Case {
        const char* json;
        HKEY expected;
    } cases[] = {
        {R"({"vek":{"bootstrap":{"options":{"reg_context":"hklm"}}}})", HKEY_LOCAL_MACHINE},
        {R"({"vek":{"bootstrap":{"options":{"reg_context":"HKLM"}}}})", HKEY_LOCAL_MACHINE},
        {R"({"vek":{"bootstrap":{"options":{"reg_context":"HKCU"}}}})", HKEY_CURRENT_USER},
        {R"({"vek":{"bootstrap":{"options":{}}}})", HKEY_CURRENT_USER},
        {R"({"vek":{"bootstrap":{"options":{"reg_context":5}}}})", HKEY_CURRENT_USER},
        {R"({})", HKEY_CURRENT_USER},
        {R"({"bootstrap":{"options":{"reg_context":"HKLM"}}})", HKEY_CURRENT_USER}, // not under "vek"
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vek::GetRegistryContext(nlohmann::json::parse(c.json)), c.expected) << c.json;
    }
    const auto job = nlohmann::json::parse(R"({"file_array":[{"type":"x","source_file":"a"},
        {"type":"job_installer","source_file":"b"},{"type":"job_installer","source_file":"c"}]})");
    nlohmann::json entry;
    ASSERT_TRUE(vek::GetInstallerFileEntry(job, entry));
    EXPECT_EQ(entry["source_file"], "b");
    EXPECT_FALSE(vek::GetInstallerFileEntry(nlohmann::json::parse(R"({"file_array":[]})"), entry));
}

TEST(VekUtilLookups, FilePriorities)
{
    const auto job = nlohmann::json::parse(R"({"file_array":[
        {"source_file":"a.msi","file_priority":3},
        {"destination_file":"b.dll","file_priority":-2},
        {"source_file":"c.cab"},
        {"source_file":"d.txt","file_priority":"high"},
        {"source_file":"a.msi","file_priority":9}]})");
    struct Case {
        const wchar_t* name;
        int32_t expected;
    } cases[] = {
        {L"a.msi", 3}, {L"b.dll", -2}, {L"c.cab", 0}, {L"d.txt", 0}, {L"A.MSI", 0}, {L"none", 0}, {L"", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vek::GetFilePriority(c.name, job), c.expected);
    }
    EXPECT_EQ(vek::GetFilePriority(L"a.msi", nlohmann::json::object()), 0);
}

TEST(VekUtilLookups, FailureCountsCountUpInTheManifestsKey)
{
    const std::string jobId = "pkg-test-job-" + std::to_string(::GetCurrentProcessId());
    const std::string manifestId = "{pkg-count-" + std::to_string(::GetCurrentProcessId()) + "}";
    const auto document = nlohmann::json{{"vek", {{"global", {{"manifest_id", manifestId}}}, {"bootstrap", {{"options", nlohmann::json::object()}}}}}};
    const nlohmann::json job = {{"job_id", jobId}};
    EXPECT_EQ(vek::UpdateFileFailureCount(document, job, L"setup.msi"), 0u);
    EXPECT_EQ(vek::UpdateFileFailureCount(document, job, L"setup.msi"), 1u);
    EXPECT_EQ(vek::UpdateFileFailureCount(document, job, L"setup.msi"), 2u);
    EXPECT_EQ(vek::UpdateFileFailureCount(document, job, L"other.cab"), 0u);
    EXPECT_EQ(vek::UpdateFileFailureCount(document, nlohmann::json::object(), L"setup.msi"), 0u);

    // The key: the product key, the manifest, the job, file_array; where the clean-up looks.
    const std::wstring manifestKey = L"Software\\Vallor\\Vek\\" + vek::FromUtf8(manifestId);
    const std::wstring fileKey = manifestKey + L"\\" + vek::FromUtf8(jobId) + L"\\file_array";
    DWORD value = 0, size = sizeof(value);
    EXPECT_EQ(::RegGetValueW(HKEY_CURRENT_USER, fileKey.c_str(), L"setup.msi", RRF_RT_REG_DWORD, nullptr, &value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 2u);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, manifestKey.c_str());

    // Without a manifest id no count is kept: it would stand where no clean-up finds it.
    const auto anonymous = nlohmann::json::parse(R"({"vek":{"bootstrap":{"options":{}}}})");
    EXPECT_EQ(vek::UpdateFileFailureCount(anonymous, job, L"setup.msi"), 0u);
    HKEY stray = nullptr;
    EXPECT_NE(::RegOpenKeyExW(HKEY_CURRENT_USER, (L"Software\\Vallor\\Vek\\" + vek::FromUtf8(jobId)).c_str(), 0,
                              KEY_READ, &stray),
              ERROR_SUCCESS);
    if (stray != nullptr) {
        ::RegCloseKey(stray);
    }
}

TEST(VekUtilLookups, FailureCountValueName)
{
    const struct {
        const wchar_t* source;
        const wchar_t* name;
    } cases[] = {
        {L"https://host/dir/setup.msi", L"setup.msi"},
        {L"https://host/dir/setup.msi?sig=a/b&x=1", L"setup.msi"},
        {L"https://host/dir/setup.msi#part/2", L"setup.msi"},
        {L"C:\\payload\\data.cab", L"data.cab"},
        {L"plain.bin", L"plain.bin"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vek::FailureCountValueName(c.source), c.name) << vek::ToUtf8(c.source);
    }
}

TEST(VekUtilLookups, DownloadAccepted)
{
    const std::wstring id = L"{pkg-test-" + std::to_wstring(::GetCurrentProcessId()) + L"}";
    const auto document = nlohmann::json{{"vek", {{"global", {{"manifest_id", vek::ToUtf8(id)}}}}}};
    EXPECT_FALSE(vek::IsDownloadAccepted(document));
    const std::wstring key = L"Software\\Vallor\\Vek\\" + id;
    const DWORD one = 1;
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"DownloadAccepted", REG_DWORD, &one, sizeof(one)),
              ERROR_SUCCESS);
    EXPECT_TRUE(vek::IsDownloadAccepted(document));
    ::RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
}

TEST(VekUtilEnvironment, UserAgentPathsAndText)
{
    std::wstring agent;
    ASSERT_EQ(vek::util::FormatUserAgentString(agent), S_OK);
    EXPECT_TRUE(std::regex_match(vek::ToUtf8(agent), std::regex(R"(TALV-Remediation \(Windows NT \d+\.\d+\))")))
        << vek::ToUtf8(agent);

    std::wstring path;
    vek::GetCommonAppDataPath(path, nullptr);
    EXPECT_TRUE(path.ends_with(L"\\Vallor") || path.ends_with(L"\\Talvern\\Vek")) << vek::ToUtf8(path);
    vek::GetCommonAppDataPath(path, L"Talvern\\Vek");
    EXPECT_TRUE(path.ends_with(L"\\Talvern\\Vek"));
    vek::GetCommonAppDataPath(path, L"");
    EXPECT_TRUE(path.ends_with(L"\\Talvern\\Vek")) << "an empty folder keeps the name";

    std::wstring sid;
    ASSERT_TRUE(vek::GetUserSIDAsString(sid));
    EXPECT_TRUE(sid.starts_with(L"S-1-5-"));
    EXPECT_FALSE(vek::IsGuestAccount());

    const GUID g = {0x0A1B2C3D, 0x0001, 0x4002, {0x80, 0x03, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x0D}};
    EXPECT_EQ(vek::GuidToString(g), L"{0A1B2C3D-0001-4002-8003-00000000F00D}");
    std::wstring formatted;
    vek::FormatGuid(formatted, true, g);
    EXPECT_EQ(formatted, L"0A1B2C3D-0001-4002-8003-00000000F00D");
    EXPECT_EQ(vek::FromUtf8(vek::ToUtf8(L"Caf\u00e9 \u20ac")), L"Caf\u00e9 \u20ac");
}

TEST(VekUtilFiles, ExistenceAndSize)
{
    ScratchFolder scratch(L"vek-util-files");
    const std::wstring file = scratch.File(L"five.bin");
    WriteAll(file, Bytes{1, 2, 3, 4, 5});
    EXPECT_EQ(vek::CheckFileExists(file.c_str()), S_OK);
    EXPECT_EQ(vek::CheckFileExists((L"\\\\?\\" + file).c_str()), S_OK);
    EXPECT_EQ(vek::CheckFileExists(scratch.File(L"none").c_str()), vek::VEK_E_FILE_NOT_FOUND);
    EXPECT_EQ(vek::CheckFileExists(nullptr), E_INVALIDARG);
    EXPECT_EQ(vek::CheckFileExists(L""), E_INVALIDARG);

    uint64_t size = 77;
    EXPECT_EQ(vek::GetFileSize(file.c_str(), size), S_OK);
    EXPECT_EQ(size, 5u);
    size = 77;
    EXPECT_EQ(vek::GetFileSize(scratch.File(L"none").c_str(), size), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(size, 77u);
    EXPECT_EQ(vek::GetFileSize(nullptr, size), E_INVALIDARG);
}
