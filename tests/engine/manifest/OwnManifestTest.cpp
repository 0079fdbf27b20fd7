// The launcher's own manifest is read and parsed once per process: every reader of the same
// unchanged launcher file shares the one document.
#include "ManifestTestSupport.h"

#include "engine/manifest/ManifestDocument.h"
#include "engine/manifest/VekOwnManifest.h"
#include "services/launcher/VekResultCodes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using json = nlohmann::json;

namespace {

// A copy of a packed launcher fixture under a name of this test's own, removed at the end.
class LauncherCopy {
public:
    explicit LauncherCopy(const wchar_t* name)
    {
        const char* dir = std::getenv("VEK_PACKAGE_FIXTURES");
        std::wstring source = L"Z:";
        for (const char* c = dir != nullptr ? dir : ""; *c != '\0'; ++c)
            source += *c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*c));
        source += L"\\v2.exe"; // the delivered form, whose reader logs each read
        wchar_t temp[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, temp);
        m_path = std::wstring(temp) + name + L"-" + std::to_wstring(::GetCurrentProcessId()) + L".exe";
        m_copied = ::CopyFileW(source.c_str(), m_path.c_str(), FALSE) != FALSE;
    }
    ~LauncherCopy() { ::DeleteFileW(m_path.c_str()); }
    const std::wstring& Path() const { return m_path; }
    bool Copied() const { return m_copied; }

    // Moves the file's last write time on by a second, as a rewrite of the file would.
    bool Touch() const
    {
        HANDLE file = ::CreateFileW(m_path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        FILETIME written{};
        bool done = ::GetFileTime(file, nullptr, nullptr, &written) != FALSE;
        ULARGE_INTEGER time{{written.dwLowDateTime, written.dwHighDateTime}};
        time.QuadPart += 10'000'000;
        written = {time.LowPart, time.HighPart};
        done = done && ::SetFileTime(file, nullptr, nullptr, &written) != FALSE;
        ::CloseHandle(file);
        return done;
    }

private:
    std::wstring m_path;
    bool m_copied = false;
};

// How often the package reader took a launcher file's manifest apart: once per read.
size_t ReadsLogged(const std::wstring& log)
{
    size_t count = 0;
    const std::wstring line = L"VekManifest.js Deserialized";
    for (size_t at = log.find(line); at != std::wstring::npos; at = log.find(line, at + 1))
        ++count;
    return count;
}

} // namespace

TEST(OwnManifest, DocumentsOfOneLauncherFileReadItOnce)
{
    LauncherCopy launcher(L"vek-own-manifest-once");
    ASSERT_TRUE(launcher.Copied());
    manifesttest::LogCapture log;
    vek::ManifestDocument first, second;
    ASSERT_EQ(first.LoadFromLauncher(launcher.Path().c_str()), S_OK);
    ASSERT_EQ(second.LoadFromLauncher(launcher.Path().c_str()), S_OK);
    EXPECT_EQ(ReadsLogged(log.text), 1u) << log.text;
    EXPECT_EQ(first.Snapshot(), second.Snapshot());
    // Each document is a copy of its own: a change to one leaves the other as read.
    first.Modify([](json& root) { root["changed"] = true; });
    EXPECT_FALSE(second.Read([](const json& root) { return root.contains("changed"); }));
}

TEST(OwnManifest, SharedUntilTheFileChanges)
{
    LauncherCopy launcher(L"vek-own-manifest-shared");
    ASSERT_TRUE(launcher.Copied());
    int reads = 0;
    vek::VekOwnManifest::SetReader([&reads](const wchar_t* path, json& document) {
        ++reads;
        document = {{"vek", {{"path", std::string(path, path + ::lstrlenW(path))}}}};
        return S_OK;
    });
    std::shared_ptr<const json> a, b, c;
    EXPECT_EQ(vek::VekOwnManifest::Load(launcher.Path(), a), S_OK);
    EXPECT_EQ(vek::VekOwnManifest::Load(launcher.Path(), b), S_OK);
    EXPECT_EQ(reads, 1);
    EXPECT_EQ(a.get(), b.get());
    ASSERT_TRUE(launcher.Touch());
    EXPECT_EQ(vek::VekOwnManifest::Load(launcher.Path(), c), S_OK);
    EXPECT_EQ(reads, 2) << "a changed file is read again";
    EXPECT_NE(a.get(), c.get());

    // A failure is kept too: an unchanged file without a manifest is not read again.
    vek::VekOwnManifest::SetReader([&reads](const wchar_t*, json&) {
        ++reads;
        return static_cast<HRESULT>(vek::VEK_E_MANIFEST_NOT_IN_PACKAGE);
    });
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(static_cast<uint32_t>(vek::VekOwnManifest::Load(launcher.Path(), c)),
                  static_cast<uint32_t>(vek::VEK_E_MANIFEST_NOT_IN_PACKAGE));
        EXPECT_EQ(c, nullptr);
    }
    EXPECT_EQ(reads, 3);
    vek::VekOwnManifest::SetReader(nullptr);
}
