#include "DialogTestSupport.h"

#include "ui/dialog/VekProductName.h"
#include "ui/resources/CVekResourceLoader.h"

namespace dialogtest {

OwnerWindow::OwnerWindow()
{
    if (RegisterWindowClass(L"VEK_DialogTestOwner", 0, nullptr, nullptr))
        Create(L"VEK_DialogTestOwner", nullptr, RECT{0, 0, 100, 100}, L"owner", WS_POPUP);
}

void DialogTest::SetUp()
{
    g_ExitCode = 0;
    vek::ResetProductNameStringId();
    CVekResourceLoader::Instance().AddPreferredLanguage(0x0409);
    owner = std::make_unique<OwnerWindow>();
    ASSERT_NE(owner->GetHwnd(), nullptr);
}

void DialogTest::TearDown()
{
    if (dialog && dialog->hwnd() != nullptr)
        ::DestroyWindow(dialog->hwnd());
    Drain();
    dialog.reset();
    owner.reset();
    Drain();
    g_ExitCode = 0;
}

void DialogTest::Open(const DialogSetup& setup)
{
    if (setup.withEngine && !engine)
        engine = std::make_shared<FakeEngine>();
    vek::VekBaseUIOptions options;
    if (setup.withEngine)
        options.engine = engine;
    if (setup.makeJobList)
        options.jobList = setup.makeJobList();
    else if (setup.withJobList)
        options.jobList = std::make_unique<RecordingJobList>(list);
    options.system = &system;
    qkCommandLine commandLine;
    const std::wstring line = L"VekLauncher.exe " + setup.switches;
    commandLine.Parse(line.c_str());
    options.commandLine = commandLine;
    options.interactiveSession = setup.interactive;
    options.tickCount = [this] { return now; };
    options.sleep = [](DWORD) {};
    dialog = std::make_unique<vek::VekBaseUI>(nullptr, nullptr, setup.startResult, std::move(options));
    ASSERT_EQ(dialog->Create(setup.withOwner ? owner->GetHwnd() : nullptr), S_OK);
    Drain();
}

void DialogTest::Drain()
{
    for (int round = 0; round < 50; ++round) {
        MSG msg;
        bool any = false;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            any = true;
            if (msg.message == WM_VEK_SHOW_MAIN_WINDOW)
                ++reshows;
            if (msg.message == WM_QUIT) {
                quitCode = msg.wParam;
                continue;
            }
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        if (!any)
            break;
    }
}

void DialogTest::Event(int event, const json& job)
{
    ASSERT_FALSE(Closed());
    auto record = std::make_unique<vek::VekJobUpdateRecord>();
    record->job = job;
    record->event = event;
    ASSERT_TRUE(vek::PostJobUpdateRecord(dialog->hwnd(), WM_VEK_UPDATE_JOB_INFO, std::move(record)));
    Drain();
}

bool DialogTest::Visible(UINT controlId) const
{
    HWND control = ::GetDlgItem(dialog->hwnd(), static_cast<int>(controlId));
    return control != nullptr && (::GetWindowLongPtrW(control, GWL_STYLE) & WS_VISIBLE) != 0;
}

std::wstring DialogTest::Text(UINT controlId) const
{
    HWND control = ::GetDlgItem(dialog->hwnd(), static_cast<int>(controlId));
    if (control == nullptr)
        return L"<no control>";
    wchar_t text[1024] = {};
    ::GetWindowTextW(control, text, 1024);
    return text;
}

json DialogTest::Manifest(const std::string& components, const std::string& runKey)
{
    json files = json::array();
    files.push_back(
        {{"source_file", "s"}, {"destination_file", "qor.msi"}, {"type", "job_installer"}, {"component", "qor"}});
    files.push_back(
        {{"source_file", "s"}, {"destination_file", "ombl.msi"}, {"type", "job_installer"}, {"component", "ombl"}});
    files.push_back({{"source_file", "s"}, {"destination_file", "plugin.dll"}, {"type", "job_plugin2"}});
    return json{{"vek",
                 {{"global", {{"manifest_id", "dialog-test"}}},
                  {"bootstrap", {{"options", {{"proxy_settings", {{"type", "custom"}}}}}}},
                  {"job_array", json::array({{{"job_id", "{1}"},
                                              {"create_msi", "false"},
                                              {"product_data", {{"run_key", runKey}}},
                                              {"distribution", {{"components", components}, {"cc_token", "T"}}},
                                              {"file_array", files}}})}}}};
}

} // namespace dialogtest
