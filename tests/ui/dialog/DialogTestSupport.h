#pragma once
// Helpers of the main dialog's tests: a scripted job engine, a job list that records what the
// dialog relays to it, the system calls replaced (no restart of the test session, no modal box
// waiting for a person), an owner window standing in for the tray window, and the dialog built
// from them with an injected clock.
#include "ui/dialog/VekBaseUI.h"

#include "engine/launcher/VekExitCode.h"
#include "engine/manifest/JobEngineException.h"
#include "engine/manifest/ManifestDocument.h"
#include "ui/VekWindowMessages.h"
#include "ui/window/VekWindowImpl.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dialogtest {

using json = nlohmann::json;

class FakeEngine : public vek::VekDialogEngine {
public:
    int state = 2;
    bool running = true;
    bool paused = false;
    uint32_t retryCount = 0;
    HRESULT bootstrapError = S_OK;
    std::wstring customLocation;
    std::wstring downloadFolder = L"C:\\vek-dialog-test\\downloads";
    std::shared_ptr<vek::ManifestDocument> manifest = std::make_shared<vek::ManifestDocument>();
    std::vector<std::string> calls;

    int GetEngineState() override { return state; }
    bool IsRunning() override { return running; }
    void Stop(bool wait) override
    {
        // A stop request without waiting leaves the engine thread running until it ends.
        calls.push_back(wait ? "stop-wait" : "stop");
        if (wait)
            running = false;
    }
    void Pause() override
    {
        calls.push_back("pause");
        paused = true;
    }
    void Resume() override
    {
        calls.push_back("resume");
        paused = false;
    }
    bool IsPaused() override { return paused; }
    bool Start() override
    {
        calls.push_back("start");
        running = true;
        return true;
    }
    int Bootstrap() override
    {
        calls.push_back("bootstrap");
        if (FAILED(bootstrapError))
            throw vek::JobEngineException(bootstrapError);
        return 0;
    }
    void CleanUp(uint32_t mode) override { calls.push_back("cleanup:" + std::to_string(mode)); }
    bool GetJob(size_t index, json& job) override { return manifest->GetJob(index, job); }
    std::shared_ptr<vek::ManifestDocument> GetManifest() override { return manifest; }
    uint32_t GetDownloadRetryCount() override { return retryCount; }
    void ResetRebootCount() override { calls.push_back("reset-reboot"); }
    std::wstring GetCustomLocation() override { return customLocation; }
    void SetCustomLocation(const std::wstring& folder) override
    {
        calls.push_back("location");
        customLocation = folder;
    }
    std::wstring GetDownloadFolder() override { return downloadFolder; }

    bool Called(const std::string& call) const
    {
        for (const std::string& c : calls)
            if (c == call)
                return true;
        return false;
    }
};

// A job list that is a plain, empty child window and records what reaches it (the screenshots of
// the product's job panels come from the tests with the product's job list).
class RecordingJobList : public vek::VekDialogJobList {
public:
    struct Shared {
        std::vector<int> events;
        std::vector<json> jobs;
        int progress = 0;
        HWND window = nullptr;
    };
    explicit RecordingJobList(std::shared_ptr<Shared> shared) : m_shared(std::move(shared)) {}
    ~RecordingJobList() override
    {
        if (m_shared->window != nullptr && ::IsWindow(m_shared->window))
            ::DestroyWindow(m_shared->window);
        m_shared->window = nullptr;
    }

    HWND Create(HWND parent, const RECT& rect) override
    {
        m_shared->window =
            ::CreateWindowExW(0, L"STATIC", L"", WS_CHILD, rect.left, rect.top,
                              rect.right - rect.left, rect.bottom - rect.top, parent, nullptr, nullptr, nullptr);
        return m_shared->window;
    }
    HWND hwnd() const override { return m_shared->window; }
    void OnUpdateJobInfo(UINT, const vek::VekJobUpdateRecord& record) override
    {
        m_shared->events.push_back(record.event);
        m_shared->jobs.push_back(record.job);
    }
    void OnJobProgress(UINT, std::unique_ptr<vek::VekProgressRecord> record) override
    {
        if (record)
            ++m_shared->progress;
    }

private:
    std::shared_ptr<Shared> m_shared;
};

class FakeSystem : public vek::VekDialogSystem {
public:
    int answer = IDNO;
    int boxes = 0;
    UINT lastBoxType = 0;
    bool privilege = true;
    bool privilegeRestored = false;
    std::vector<std::pair<UINT, DWORD>> restarts;
    bool adminSession = true;
    bool canPick = true;
    std::optional<std::wstring> picked;
    std::wstring pickerStart;
    bool enterDown = false;

    bool EnableShutdownPrivilege() override { return privilege; }
    void RestoreShutdownPrivilege() override { privilegeRestored = true; }
    BOOL ExitWindowsSession(UINT flags, DWORD reason) override
    {
        restarts.emplace_back(flags, reason);
        return TRUE;
    }
    bool IsActiveAdminSession() override { return adminSession; }
    int ShowMessageBox(HWND, const std::wstring&, const std::wstring&, UINT type) override
    {
        ++boxes;
        lastBoxType = type;
        return answer;
    }
    bool CanPickFolder() override { return canPick; }
    std::optional<std::wstring> PickFolder(HWND, const std::wstring&, const std::wstring& start) override
    {
        pickerStart = start;
        return picked;
    }
    bool IsEnterKeyDown() override { return enterDown; }
};

// Stands in for the tray window: records what the dialog posts to its owner.
class OwnerWindow : public vek::VekWindowImpl {
public:
    int closes = 0;
    int enableExit = 0;
    int disableExit = 0;

    OwnerWindow();

    VEK_BEGIN_MSG_MAP(OwnerWindow)
    VEK_MESSAGE_HANDLER(WM_CLOSE, OnClose)
    VEK_MESSAGE_HANDLER(WM_VEK_ENABLE_EXIT, OnEnableExit)
    VEK_MESSAGE_HANDLER(WM_VEK_DISABLE_EXIT, OnDisableExit)
    VEK_END_MSG_MAP()

private:
    LRESULT OnClose(UINT, WPARAM, LPARAM, BOOL&)
    {
        ++closes;
        return 0;
    }
    LRESULT OnEnableExit(UINT, WPARAM, LPARAM, BOOL&)
    {
        ++enableExit;
        return 0;
    }
    LRESULT OnDisableExit(UINT, WPARAM, LPARAM, BOOL&)
    {
        ++disableExit;
        return 0;
    }
};

struct DialogSetup {
    bool withEngine = true;
    std::wstring switches;
    bool interactive = true;
    HRESULT startResult = S_OK;
    bool withJobList = true;
    bool withOwner = true;
    // Set: the job list the dialog gets (the product's own, for example) instead of the recorder.
    std::function<std::unique_ptr<vek::VekDialogJobList>()> makeJobList = nullptr;
};

class DialogTest : public ::testing::Test {
public:
    std::shared_ptr<FakeEngine> engine;
    std::shared_ptr<RecordingJobList::Shared> list = std::make_shared<RecordingJobList::Shared>();
    FakeSystem system;
    std::unique_ptr<OwnerWindow> owner;
    std::unique_ptr<vek::VekBaseUI> dialog;
    uint64_t now = 5'000'000;
    int reshows = 0;                // WM_VEK_SHOW_MAIN_WINDOW seen by Drain
    std::optional<WPARAM> quitCode; // WM_QUIT seen by Drain

    void SetUp() override;
    void TearDown() override;

    // Builds and creates the dialog (its engine made first, so that a test can script it).
    void Open(const DialogSetup& setup = {});
    // Runs every queued message of the thread.
    void Drain();
    // Posts a job update as the tray window does and lets the dialog handle it.
    void Event(int event, const json& job = json::object());
    bool Closed() const { return dialog == nullptr || dialog->hwnd() == nullptr; }
    bool Visible(UINT controlId) const;
    std::wstring Text(UINT controlId) const;
    // Shown (its own visibility: the dialog itself may be hidden).
    bool ListVisible() const
    {
        return list->window != nullptr && (::GetWindowLongPtrW(list->window, GWL_STYLE) & WS_VISIBLE) != 0;
    }
    // A manifest with one install job of the given components, each with its installer.
    static json Manifest(const std::string& components = "qor,ombl", const std::string& runKey = "QOR");
};

} // namespace dialogtest
