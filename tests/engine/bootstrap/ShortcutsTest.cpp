// Shortcuts, the Run value and the run task: real shell links in scratch desktop and programs
// folders, the real Run key, and Wine's Task Scheduler (which keeps tasks but refuses their
// triggers: the refusal is logged and the task is registered all the same).
#include "BootstrapTestSupport.h"

#include <taskschd.h>

#include "services/launcher/VekResultCodes.h"
#include "services/tasks/CTaskScheduler.h"

using namespace boot_test;
using Microsoft::WRL::ComPtr;
using vek::VekJobEngine;

namespace {

struct Link {
    bool exists = false;
    std::wstring target;
    std::wstring description;
};

Link ReadLink(const std::wstring& path)
{
    Link link;
    ComPtr<IShellLinkW> shellLink;
    ComPtr<IPersistFile> file;
    if (!Exists(path) ||
        FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_ALL, IID_IShellLinkW,
                                reinterpret_cast<void**>(shellLink.GetAddressOf()))) ||
        FAILED(shellLink.As(&file)) || FAILED(file->Load(path.c_str(), STGM_READ)))
        return link;
    link.exists = true;
    wchar_t text[MAX_PATH] = {};
    shellLink->GetPath(text, MAX_PATH, nullptr, 0);
    link.target = text;
    wchar_t description[MAX_PATH] = {};
    shellLink->GetDescription(description, MAX_PATH);
    link.description = description;
    return link;
}

bool TaskExists(const wchar_t* name)
{
    ComPtr<ITaskService> service;
    if (FAILED(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_ALL, IID_ITaskService,
                                reinterpret_cast<void**>(service.GetAddressOf()))))
        return false;
    VARIANT empty;
    VariantInit(&empty);
    if (FAILED(service->Connect(empty, empty, empty, empty)))
        return false;
    ComPtr<ITaskFolder> root;
    BSTR rootName = SysAllocString(L"\\");
    const HRESULT folder = service->GetFolder(rootName, root.GetAddressOf());
    SysFreeString(rootName);
    if (FAILED(folder))
        return false;
    ComPtr<IRegisteredTask> task;
    BSTR taskName = SysAllocString(name);
    const HRESULT found = root->GetTask(taskName, task.GetAddressOf());
    SysFreeString(taskName);
    return SUCCEEDED(found);
}

json Entry(const char* type, bool withPath = true)
{
    json entry = {{"shortcut_type", type},
                  {"executable", {{"name", "Launcher.lnk"}, {"description", std::string(type) + " launcher"}}},
                  {"folder", {{"name", "Files.lnk"}, {"description", std::string(type) + " files"}}}};
    if (withPath)
        entry["path"] = "Vek Test";
    return entry;
}

using ShortcutsTest = EngineTest;

TEST_F(ShortcutsTest, ManifestEntriesAndVisibility)
{
    struct Case {
        const char* name;
        json entries;
        json desktopHide; // null: key absent
        json startMenuHide;
        bool desktop;
        bool startMenu;
        const char* startMenuDescription; // the launcher link's, when it exists
    };
    const Case cases[] = {
        {"desktop shown", json::array({Entry("desktop")}), 0, 1, true, false, nullptr},
        {"desktop key absent hides it", json::array({Entry("desktop")}), nullptr, 0, false, false, nullptr},
        {"desktop hidden", json::array({Entry("desktop")}), 1, 0, false, false, nullptr},
        {"type in another case", json::array({Entry("Desktop")}), 0, 0, false, false, nullptr},
        {"entry without a path", json::array({Entry("desktop", false)}), 0, 0, false, false, nullptr},
        {"start menu alone: no description", json::array({Entry("start_menu")}), 0, 0, false, true, ""},
        {"start menu after desktop keeps its descriptions",
         json::array({Entry("desktop"), Entry("start_menu")}), 0, 0, true, true, "desktop launcher"},
        {"start menu key absent hides it", json::array({Entry("start_menu")}), 0, nullptr, false, false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        json manifest = Manifest();
        manifest["vek"]["bootstrap"]["shortcuts"] = c.entries;
        json& global = manifest["vek"]["global"];
        global.erase("DESKTOP_SHORTCUT_HIDE");
        global.erase("STARTMENU_SHORTCUT_HIDE");
        if (!c.desktopHide.is_null())
            global["DESKTOP_SHORTCUT_HIDE"] = c.desktopHide;
        if (!c.startMenuHide.is_null())
            global["STARTMENU_SHORTCUT_HIDE"] = c.startMenuHide;
        const std::wstring launcher = Launcher(L"level3");
        auto& engine = Engine(manifest, launcher);
        engine.createShortcuts(InstallFolder(), launcher);

        const Link desktopLauncher = ReadLink(Desktop(L"Launcher.lnk"));
        const Link desktopFiles = ReadLink(Desktop(L"Files.lnk"));
        EXPECT_EQ(desktopLauncher.exists, c.desktop);
        EXPECT_EQ(desktopFiles.exists, c.desktop);
        if (c.desktop) {
            EXPECT_EQ(desktopLauncher.target, launcher);
            EXPECT_EQ(desktopLauncher.description, L"desktop launcher");
            EXPECT_EQ(desktopFiles.target, InstallFolder());
            EXPECT_EQ(desktopFiles.description, L"desktop files");
        }
        const Link menuLauncher = ReadLink(Programs(L"Launcher.lnk"));
        EXPECT_EQ(menuLauncher.exists, c.startMenu);
        EXPECT_EQ(Exists(Programs(L"Files.lnk")), c.startMenu);
        if (c.startMenu) {
            EXPECT_EQ(vek::ToUtf8(menuLauncher.description), c.startMenuDescription);
        }
    }
}

TEST_F(ShortcutsTest, DeletionKeepsTheFolderLinkWhileFilesRemain)
{
    struct Case {
        const char* name;
        bool downloadsPresent;
        unsigned flags;
        bool folderLinkKept;
    } cases[] = {
        {"files present, flags 0", true, 0, true},
        {"files present, downloads removed too", true, VekJobEngine::eCleanDownloads, false},
        {"no files", false, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        json manifest = Manifest();
        manifest["vek"]["bootstrap"]["shortcuts"] = json::array({Entry("desktop"), Entry("start_menu")});
        auto& engine = Engine(manifest, Launcher(L"level3"));
        if (c.downloadsPresent) {
            CreateDirectoryW(m_runLocation.c_str(), nullptr);
            CreateDirectoryW(InstallFolder().c_str(), nullptr);
        }
        engine.createShortcuts(InstallFolder(), Launcher(L"level3"));
        ASSERT_TRUE(Exists(Programs(L"Files.lnk")));
        engine.deleteShortcuts(c.flags);
        for (const std::wstring& folder : {Desktop(L""), Programs(L"")}) {
            EXPECT_FALSE(Exists(folder + L"Launcher.lnk"));
            EXPECT_EQ(Exists(folder + L"Files.lnk"), c.folderLinkKept);
            EXPECT_EQ(Exists(folder.substr(0, folder.size() - 1)), c.folderLinkKept) << "the empty folder goes";
        }
    }
}

TEST_F(ShortcutsTest, ShellFolderFailures)
{
    struct Case {
        const char* name;
        HRESULT failure;
        const char* type;
        HRESULT created; // the exception of createShortcuts, S_OK when none
        HRESULT deleted; // the exception of deleteShortcuts
    } cases[] = {
        {"desktop unavailable", E_FAIL, "desktop", vek::VEK_E_SHORTCUT_DESKTOP, vek::VEK_E_SHORTCUT_DESKTOP},
        {"programs unavailable", E_ACCESSDENIED, "start_menu", vek::VEK_E_SHORTCUT_DESKTOP,
         vek::VEK_E_SHORTCUT_PROGRAMS},
        {"folder not found: skipped", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "desktop", S_OK,
         vek::VEK_E_SHORTCUT_DESKTOP},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        json manifest = Manifest();
        manifest["vek"]["bootstrap"]["shortcuts"] = json::array({Entry(c.type)});
        auto& engine = Engine(manifest, Launcher(L"level3"));
        m_folders->failure = c.failure;
        auto code = [](const std::function<void()>& call) {
            try {
                call();
                return S_OK;
            } catch (const vek::JobEngineException& e) {
                return e.GetCode();
            }
        };
        EXPECT_EQ(code([&] { engine.createShortcuts(InstallFolder(), Launcher(L"level3")); }), c.created);
        EXPECT_EQ(code([&] { engine.deleteShortcuts(0); }), c.deleted);
    }
}

TEST_F(ShortcutsTest, RunValueQuotesTheLauncherAndForwardsSwitches)
{
    const std::wstring launcher = m_root + L"\\with blanks\\Vek Copy.exe";
    auto& engine = Engine(Manifest(), launcher, L"/UNATTENDED /INSTALLER_OPTIONS \"a b\" /r /noshow");
    engine.createRunKeys(launcher);
    EXPECT_EQ(RunValue(), L"\"" + launcher + L"\" /m /UNATTENDED /INSTALLER_OPTIONS \"a b\"");
    EXPECT_EQ(m_document->Read([](const json& r) { return r.contains("last_error"); }), false);
}

TEST_F(ShortcutsTest, RunTaskArgumentsRegistrationAndRemoval)
{
    struct Case {
        const char* name;
        const char* runKey;
        const wchar_t* switches;
        const wchar_t* arguments;
    } cases[] = {
        {"minimized added first", "", L"/SILENT", L"/m /SILENT /UPGRADE_CONFIRMED"},
        {"minimized already forwarded", "", L"/m /IGNORE_USER_SESSION",
         L" /m /IGNORE_USER_SESSION /UPGRADE_CONFIRMED"},
        {"user-session switch left out for the product", "qor", L"/IGNORE_USER_SESSION /SILENT",
         L"/m /SILENT /UPGRADE_CONFIRMED"},
        // The task carries the customer token on; the log shows it masked.
        {"customer token masked", "", L"/SILENT /CC_TOKEN s3cr3t", L"/m /SILENT /CC_TOKEN \"********\" /UPGRADE_CONFIRMED"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        json manifest = Manifest();
        manifest["vek"]["job_array"][0]["product_data"]["run_key"] = c.runKey;
        auto& engine = Engine(manifest, Launcher(L"level3"), c.switches);
        vek::test::LogCapture log;
        // Called twice with the same extra argument, as the job window may: it is added once.
        engine.createRunTask(L"/UPGRADE_CONFIRMED");
        engine.createRunTask(L"/UPGRADE_CONFIRMED");
        const std::wstring expected = L"Registering the run task for " + Launcher(L"level3") + L" with " + c.arguments;
        const std::wstring all = log.All();
        const size_t at = all.find(expected);
        ASSERT_NE(at, std::wstring::npos) << vek::ToUtf8(all);
        EXPECT_EQ(all[at + expected.size()], L'\n') << "the arguments end there";
        EXPECT_EQ(all.find(L"s3cr3t"), std::wstring::npos);
        EXPECT_TRUE(TaskExists(vek::CTaskScheduler::kLauncherTask));
        const std::wstring copy = vek::FromUtf8(m_document->Read([](const json& r) {
            return r.at("vek").at("job_array").at(0).value("scheduled_vek_path", std::string());
        }));
        EXPECT_FALSE(copy.empty());
        EXPECT_TRUE(Exists(copy));
        if (log.Contains(L"(0x80004001)"))
            std::printf("this Task Scheduler refuses triggers: %s\n", "logged, task kept");
        engine.deleteRunTask();
        EXPECT_FALSE(TaskExists(vek::CTaskScheduler::kLauncherTask));
        DeleteFileW(copy.c_str());
    }
}

// The run task runs its copy of the launcher with full rights. The copy is made from the launcher
// the engine names, which the job window may register long after the bootstrap let go of it: a
// replaced file there must never become the task's program. The copy is checked as the bootstrap
// checks its own (signature and signer); one that fails is removed with the task of that name.
// A manifest that runs the launcher unverified (install false) keeps the task as it was.
TEST_F(ShortcutsTest, RunTaskNamesOnlyAVerifiedCopy)
{
    struct Case {
        const char* name;
        const wchar_t* source;
        const char* install; // the option as the manifest gives it; null: absent
        bool registered;
    } cases[] = {
        {"signed by the publisher", L"level3", nullptr, true},
        {"changed after it was signed", L"tampered", nullptr, false},
        {"signed by someone else", L"other", nullptr, false},
        {"not signed", L"unsigned", "true", false},
        {"not signed, the launcher runs unverified", L"unsigned", "false", true},
        {"changed, the launcher runs unverified", L"tampered", "FALSE", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        // A task of an earlier registration names the copy already.
        Engine(Manifest(), Launcher(L"level3")).createRunTask(L"");
        ASSERT_TRUE(TaskExists(vek::CTaskScheduler::kLauncherTask));

        json manifest = Manifest();
        if (c.install)
            manifest["vek"]["bootstrap"]["options"]["install"] = c.install;
        auto& engine = Engine(manifest, Launcher(c.source));
        vek::test::LogCapture log;
        engine.createRunTask(L"/UPGRADE_CONFIRMED");
        const std::wstring copy = vek::FromUtf8(m_document->Read([](const json& r) {
            return r.at("vek").at("job_array").at(0).value("scheduled_vek_path", std::string());
        }));
        EXPECT_EQ(TaskExists(vek::CTaskScheduler::kLauncherTask), c.registered);
        EXPECT_EQ(!copy.empty() && Exists(copy), c.registered);
        EXPECT_EQ(log.Contains(L"no task registered"), !c.registered);
        engine.deleteRunTask();
        if (!copy.empty())
            DeleteFileW(copy.c_str());
    }
}

} // namespace
