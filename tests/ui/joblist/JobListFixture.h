#pragma once
// The stand-ins the job list tests drive the windows with: a main dialog that records what the
// job list and the job windows send it, an engine that records what the windows ask of it, and
// system calls that never end the session (a restart of Windows or a start in other sessions is
// recorded, not made).
#include "ui/VekWindowMessages.h"
#include "ui/joblist/VekJobList.h"
#include "ui/joblist/VekJobUI.h"
#include "ui/joblist/VekJobUIEngine.h"
#include "ui/joblist/VekJobUISystem.h"
#include "ui/window/VekWindowImpl.h"

#include <nlohmann/json.hpp>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace joblisttest {

// Runs the messages queued for this thread, without waiting for new ones.
inline void Drain()
{
    MSG message;
    for (int round = 0; round < 1000 && ::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE); ++round) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

struct Recorded {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

// The main dialog's place: a top-level window that records the messages of interest and keeps
// the default handling away from them (a caption drag would start a move loop).
class DialogStandIn : public vek::VekWindowImpl {
public:
    // Hidden unless a screenshot needs it (Wine shows and destroys top-level windows slowly).
    explicit DialogStandIn(bool show = false, int width = 520, int height = 400)
    {
        RegisterWindowClass(L"VEK_TestDialogStandIn", 0, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)),
                            ::LoadCursorW(nullptr, IDC_ARROW));
        const RECT rect{40, 40, 40 + width, 40 + height};
        Create(L"VEK_TestDialogStandIn", nullptr, rect, L"Job list test",
               WS_POPUP | WS_CLIPCHILDREN | (show ? WS_VISIBLE : 0));
    }
    ~DialogStandIn() override
    {
        if (IsWindow())
            DestroyWindow();
    }

    std::vector<Recorded> received;

    size_t Count(UINT message, WPARAM wParam) const
    {
        size_t count = 0;
        for (const Recorded& r : received)
            if (r.message == message && r.wParam == wParam)
                ++count;
        return count;
    }
    const Recorded* Last(UINT message) const
    {
        for (auto it = received.rbegin(); it != received.rend(); ++it)
            if (it->message == message)
                return &*it;
        return nullptr;
    }

    VEK_BEGIN_MSG_MAP(DialogStandIn)
    VEK_MESSAGE_HANDLER(WM_SYSCOMMAND, Record)
    VEK_MESSAGE_HANDLER(WM_NCLBUTTONDOWN, Record)
    VEK_MESSAGE_HANDLER(WM_VEK_SHOW_MAIN_WINDOW, Record)
    VEK_MESSAGE_HANDLER(WM_VEK_RESTART_WINDOWS, Record)
    VEK_MESSAGE_HANDLER(WM_VEK_INVALIDATE_AREA, Record)
    VEK_END_MSG_MAP()

private:
    LRESULT Record(UINT message, WPARAM wParam, LPARAM lParam, BOOL&)
    {
        received.push_back({message, wParam, lParam});
        return message == WM_VEK_INVALIDATE_AREA ? 1 : 0;
    }
};

class RecordingEngine : public vek::VekJobUIEngine {
public:
    explicit RecordingEngine(int jobs) : jobCount(jobs) {}

    int jobCount;
    int32_t engineState = 2;
    std::vector<std::string> calls;
    std::vector<std::string> removed; // "index:key"
    std::wstring downloadFolder = L"C:\\vek-test-downloads";

    size_t Count(const std::string& call) const
    {
        size_t count = 0;
        for (const auto& c : calls)
            if (c == call)
                ++count;
        return count;
    }

    int GetJobCount() override { return jobCount; }
    int32_t GetEngineState() override { return engineState; }
    bool Start() override
    {
        calls.push_back("Start");
        return true;
    }
    void Stop(bool wait) override { calls.push_back(wait ? "Stop(wait)" : "Stop"); }
    void Pause() override { calls.push_back("Pause"); }
    void Resume() override { calls.push_back("Resume"); }
    void setRetryDownloadDone() override { calls.push_back("setRetryDownloadDone"); }
    void ResetRebootCount() override { calls.push_back("resetRebootCount"); }
    std::wstring GetDownloadFolder() override { return downloadFolder; }
    void createRunTask(const std::wstring& extra) override
    {
        calls.push_back("createRunTask " + std::string(extra.begin(), extra.end()));
    }
    void RemoveJobValue(size_t index, const char* key) override
    {
        removed.push_back(std::to_string(index) + ":" + key);
    }
};

class RecordingSystem : public vek::VekJobUISystem {
public:
    ULONGLONG now = 1000000;
    std::map<std::wstring, std::wstring> switches; // name -> value ("" for a flag)
    size_t sessions = 1;
    bool system = false;
    bool interactive = true;
    std::vector<std::wstring> sessionStarts;
    std::vector<std::wstring> opened;
    int restarts = 0;

    ULONGLONG TickCount() override { return now; }
    bool HasSwitch(const wchar_t* name) override { return switches.count(name) != 0; }
    uint32_t SwitchValue(const wchar_t* name, uint32_t defaultValue) override
    {
        const auto it = switches.find(name);
        if (it == switches.end() || it->second.empty())
            return defaultValue;
        return static_cast<uint32_t>(std::stoul(it->second));
    }
    size_t ActiveSessionCount() override { return sessions; }
    bool IsRunningAsSystem() override { return system; }
    bool IsInInteractiveSession() override { return interactive; }
    LONG StartInAllSessions(const std::wstring& commandLine) override
    {
        sessionStarts.push_back(commandLine);
        return 0;
    }
    // A folder with a blank: the command lines that carry it must quote it.
    std::wstring LauncherPath() override { return L"C:\\Program Files\\Run\\VekLauncher.exe"; }
    bool Open(const std::wstring& target) override
    {
        opened.push_back(target);
        return true;
    }
    void RestartWindows(HWND) override { ++restarts; }
};

// A main dialog with a job list of `jobs` jobs over the recording engine and system.
struct JobListRig {
    explicit JobListRig(int jobs, bool show = false)
        : dialog(show), engine(std::make_shared<RecordingEngine>(jobs)), system(std::make_shared<RecordingSystem>()),
          list(std::make_unique<vek::VekJobList>(std::static_pointer_cast<vek::VekJobUIEngine>(engine), nullptr))
    {
        list->SetSystem(system);
    }
    bool Create()
    {
        RECT client{};
        ::GetClientRect(dialog, &client);
        return list->Create(dialog, client) != nullptr;
    }
    // Hands an update to the job list as the main dialog does, and lets it reach the window.
    void Update(int32_t event, const nlohmann::json& job = nlohmann::json::object())
    {
        vek::VekJobUpdateRecord record;
        record.job = job;
        record.event = event;
        list->OnUpdateJobInfo(WM_VEK_UPDATE_JOB_INFO, record);
        Drain();
    }
    void Progress(unsigned long long total, unsigned long long done)
    {
        auto record = std::make_unique<vek::VekProgressRecord>();
        record->total = total;
        record->done = done;
        list->OnJobProgress(WM_VEK_JOB_PROGRESS_INFO, std::move(record));
        Drain();
    }
    vek::VekJobUI& Window(size_t index = 0) { return *list->GetJobWindow(index); }
    void Command(UINT id, size_t index = 0)
    {
        ::SendMessageW(Window(index).GetHwnd(), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
        Drain();
    }
    void Timer(UINT_PTR id, size_t index = 0)
    {
        ::SendMessageW(Window(index).GetHwnd(), WM_TIMER, id, 0);
        Drain();
    }

    DialogStandIn dialog;
    std::shared_ptr<RecordingEngine> engine;
    std::shared_ptr<RecordingSystem> system;
    std::unique_ptr<vek::VekJobList> list;
};

} // namespace joblisttest
