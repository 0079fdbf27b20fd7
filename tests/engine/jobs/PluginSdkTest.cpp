// The plug-in binary contract, seen from the host side: a DLL built against the SDK alone loads
// through the common loader by its undecorated export names and answers through the SDK's slots.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/objects/qkTalDllLoader.h"
#include "engine/plugin/sdk/VekPluginInterfaces.h"
#include "services/launcher/VekResultCodes.h"

// Plug-in authors build against the SDK header alone, so it keeps its own copy of the launcher
// code a plug-in sends; the copy must stay equal to the launcher's table.
static_assert(vek::plugin::kPluginIntermediateErrors == vek::VEK_E_PLUGIN_INTERMEDIATE);

namespace {

using namespace vek::plugin;
namespace fs = std::filesystem;

fs::path BuildDir()
{
    const char* dir = std::getenv("VEK_BUILD_DIR");
    return fs::path(dir ? dir : ".");
}
fs::path BuildBin()
{
    return BuildDir() / "bin";
}
// Copies made by the signing setup test: <signer>/, unsigned/ and tampered/.
fs::path Signed(const char* relative)
{
    return BuildDir() / "signing" / "jobs" / relative;
}

// A copy of the scripted plug-in in a folder of the test's own, with its script.
class ScriptedPluginTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_dir = fs::temp_directory_path() / (std::string("vek_plugin_sdk_") + info->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        UseCopyOf(BuildBin() / "jobs_scripted_plugin.dll");
    }
    void UseCopyOf(const fs::path& source)
    {
        m_loader.Unload();
        m_dll = m_dir / "plugin.dll";
        fs::copy_file(source, m_dll, fs::copy_options::overwrite_existing);
    }
    void TearDown() override
    {
        m_loader.Unload();
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    void WriteScript(const std::string& text) { std::ofstream(fs::path(m_dll.wstring() + L".script")) << text; }

    fs::path m_dir;
    fs::path m_dll;
    qkTalDllLoader m_loader;
};

struct RecordingCallback final : IVekPluginCallback {
    HRESULT STDMETHODCALLTYPE OnError(HRESULT code, const wchar_t* data) override
    {
        errors.push_back({code, data ? data : L"<null>"});
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnEvent(int32_t jobEvent) override
    {
        events.push_back(jobEvent);
        return S_OK;
    }
    std::vector<std::pair<HRESULT, std::wstring>> errors;
    std::vector<int32_t> events;
};

struct CountingArchiveCallback final : IVekArchiveCallback {
    HRESULT STDMETHODCALLTYPE OnStatus(int32_t) override
    {
        ++calls;
        return S_OK;
    }
    int calls = 0;
};

TEST_F(ScriptedPluginTest, AnswersEveryScriptedStatusAndErrorCode)
{
    struct Case {
        int32_t status;
        HRESULT error;
    };
    const Case cases[] = {
        {ePluginRetryDownload, static_cast<HRESULT>(0x80070005)},
        {ePluginFailedQuiet, E_FAIL},
        {ePluginFailed, E_FAIL},
        {ePluginNotStarted, S_OK},
        {ePluginRunning, S_OK},
        {ePluginFinished, S_OK},
        {ePluginIncomplete, S_OK},
        {ePluginIncompleteRestart, S_OK},
        {ePluginCancelled, static_cast<HRESULT>(0x800704C7)},
        {ePluginStopped, S_OK},
        {ePluginStoppedWithError, E_ABORT},
        {ePluginPending, S_OK},
        {ePluginUacCancelled, E_ACCESSDENIED},
    };
    ASSERT_TRUE(SUCCEEDED(m_loader.Load(m_dll.c_str())));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        char script[64];
        snprintf(script, sizeof script, "status %d\nerror 0x%08lX\n", c.status, static_cast<unsigned long>(c.error));
        WriteScript(script);
        IVekPlugin2* plugin = nullptr;
        ASSERT_HRESULT_SUCCEEDED(
            m_loader.CreateObject(CLSID_VekPlugin2, IID_IVekPlugin2, reinterpret_cast<void**>(&plugin)));
        ASSERT_NE(nullptr, plugin);
        int32_t status = -100;
        EXPECT_EQ(S_OK, plugin->GetStatus(&status));
        EXPECT_EQ(ePluginNotStarted, status) << "status before Start";
        RecordingCallback callback;
        EXPECT_EQ(S_OK, plugin->Start(L"{\"job_id\":\"sdk\"}", &callback));
        EXPECT_EQ(S_OK, plugin->GetStatus(&status));
        EXPECT_EQ(c.status, status);
        EXPECT_EQ(c.error, plugin->GetErrorCode());
        EXPECT_EQ(S_OK, plugin->Stop());
        plugin->Release();
    }
    EXPECT_EQ(0, m_loader.GetObjectCount());
}

TEST_F(ScriptedPluginTest, StartCallsBackAndSeesTheJobText)
{
    WriteScript("event 17\nonerror 0x80047F30 [1,2]\nevent -3\nonerror 0x80004005\nstart 0x80004005\n");
    ASSERT_TRUE(SUCCEEDED(m_loader.Load(m_dll.c_str())));
    IVekPlugin2* plugin = nullptr;
    ASSERT_HRESULT_SUCCEEDED(
        m_loader.CreateObject(CLSID_VekPlugin2, IID_IVekPlugin2, reinterpret_cast<void**>(&plugin)));
    RecordingCallback callback;
    EXPECT_EQ(E_FAIL, plugin->Start(L"{\"job_id\":\"\u00e9t\u00e9\"}", &callback));
    EXPECT_EQ((std::vector<int32_t>{17, -3}), callback.events);
    ASSERT_EQ(2u, callback.errors.size());
    EXPECT_EQ(kPluginIntermediateErrors, callback.errors[0].first);
    EXPECT_EQ(L"[1,2]", callback.errors[0].second);
    EXPECT_EQ(L"<null>", callback.errors[1].second);
    EXPECT_EQ(1, m_loader.GetObjectCount());
    plugin->Release();
    EXPECT_EQ(0, m_loader.GetObjectCount());

    std::wifstream job(fs::path(m_dll.wstring() + L".job"));
    std::wstring text;
    std::getline(job, text);
    EXPECT_NE(std::wstring::npos, text.find(L"job_id"));
}

TEST_F(ScriptedPluginTest, ArchiveClassAndUnknownClass)
{
    WriteScript("start 0x80004005\n");
    ASSERT_TRUE(SUCCEEDED(m_loader.Load(m_dll.c_str())));
    IVekArchive* archive = nullptr;
    ASSERT_HRESULT_SUCCEEDED(
        m_loader.CreateObject(CLSID_VekArchive, IID_IVekArchive, reinterpret_cast<void**>(&archive)));
    CountingArchiveCallback callback;
    EXPECT_EQ(E_FAIL, archive->Archive(L"{}", &callback));
    EXPECT_EQ(1, callback.calls);
    archive->Release();

    void* object = reinterpret_cast<void*>(1);
    EXPECT_TRUE(FAILED(m_loader.CreateObject(IID_IVekPlugin2, IID_IVekPlugin2, &object)));
    EXPECT_EQ(nullptr, object);
    // The archive class does not answer the installation interface.
    EXPECT_TRUE(FAILED(m_loader.CreateObject(CLSID_VekArchive, IID_IVekPlugin2, &object)));
}

TEST_F(ScriptedPluginTest, SignedCopiesServeTheirClasses)
{
    struct Case {
        const char* file;
        HRESULT pluginCreation;
    };
    const Case cases[] = {
        {"level3/jobs_scripted_plugin.dll", S_OK},
        {"unsigned/jobs_scripted_plugin.dll", S_OK},
        {"level3/jobs_foreign_plugin.dll", CLASS_E_CLASSNOTAVAILABLE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        ASSERT_TRUE(fs::exists(Signed(c.file)));
        UseCopyOf(Signed(c.file));
        ASSERT_TRUE(SUCCEEDED(m_loader.Load(m_dll.c_str())));
        IVekPlugin2* plugin = nullptr;
        EXPECT_EQ(c.pluginCreation,
                  m_loader.CreateObject(CLSID_VekPlugin2, IID_IVekPlugin2, reinterpret_cast<void**>(&plugin)));
        if (plugin) {
            plugin->Release();
        }
    }
    // The tampered copy differs from the signed one, so its digest no longer matches.
    EXPECT_EQ(fs::file_size(Signed("level3/jobs_scripted_plugin.dll")),
              fs::file_size(Signed("tampered/jobs_scripted_plugin.dll")));
}

} // namespace
