// The product's tray: the real job engine and the real main dialog from its template, wired by
// the tray's own constructor. Only the shell and the quit question stay seams.
#include "ui/tray/VekTray.h"

#include "ui/VekJobUpdateRecord.h"
#include "ui/VekWindowMessages.h"
#include "ui/dialog/VekBaseUI.h"
#include "ui/tray/VekTrayBaseUI.h"

#include "engine/jobengine/VekJobEngine.h"
#include "engine/launcher/VekExitCode.h"
#include "engine/manifest/ManifestDocument.h"
#include "services/launcher/VekResultCodes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using json = nlohmann::json;

class ProductTray : public vek::VekTray {
public:
    using VekTray::VekTray;
    ~ProductTray() override
    {
        if (GetHwnd() != nullptr && ::IsWindow(GetHwnd()))
            ::DestroyWindow(GetHwnd());
    }

    std::vector<DWORD> iconMessages;
    int prompts = 0;

protected:
    BOOL notifyIcon(DWORD message, NOTIFYICONDATAW&) override
    {
        iconMessages.push_back(message);
        return TRUE;
    }
    int quitPrompt(const std::wstring&, const std::wstring&, UINT) override
    {
        ++prompts;
        return IDNO;
    }
};

void DrainMessages()
{
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT)
            continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

TEST(TrayProduct, CreatesTheRealMainDialogAndRelaysToIt)
{
    g_ExitCode = 0;
    auto manifest = std::make_shared<vek::ManifestDocument>();
    ASSERT_EQ(S_OK, manifest->Adopt(json{
                        {"vek",
                         {{"manifest_id", "{6A1F0C55-2B7E-4C1D-9A0B-7E3D2C1B0A99}"},
                          {"job_array", json::array({{{"job_type", "install"}}})}}}}));
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    auto engine = std::make_shared<vek::VekJobEngine>(nullptr, manifest, path);

    auto tray = std::make_unique<ProductTray>(nullptr, engine);
    ASSERT_EQ(S_OK, tray->Create());
    DrainMessages();
    // An interactive run: the prompt below needs a dialog that stays (a silent manifest, read from
    // the install job, starts hidden: TrayTest.StartHiddenBySwitchOrSilentManifestStillAddsTheIcon).
    EXPECT_FALSE(tray->manifestSilent());
    auto* dialog = dynamic_cast<vek::VekTrayBaseUI*>(tray->mainDialog());
    ASSERT_NE(nullptr, dialog);
    HWND dialogWindow = dialog->hwnd();
    ASSERT_TRUE(::IsWindow(dialogWindow));
    wchar_t className[32] = {};
    ::GetClassNameW(dialogWindow, className, 32);
    EXPECT_STREQ(L"#32770", className);
    EXPECT_EQ(tray->hwnd(), ::GetWindow(dialogWindow, GW_OWNER));
    EXPECT_TRUE(::IsWindowVisible(dialogWindow));
    ASSERT_EQ(1u, tray->iconMessages.size());
    EXPECT_EQ(static_cast<DWORD>(NIM_ADD), tray->iconMessages[0]);

    // An update travels through the tray into the dialog, which keeps the job's error.
    auto record = std::make_unique<vek::VekJobUpdateRecord>();
    record->job = json{{"job_type", "install"}, {"job_error_code", static_cast<uint32_t>(vek::VEK_E_DIGEST_MISMATCH)}};
    record->event = -3;
    ASSERT_TRUE(vek::PostJobUpdateRecord(tray->hwnd(), WM_VEK_JOB_UPDATE, std::move(record)));
    DrainMessages();
    EXPECT_EQ(vek::VEK_E_DIGEST_MISMATCH, dialog->baseUI()->lastError());
    EXPECT_EQ(-3, dialog->baseUI()->lastFatalState());

    // The engine is not over yet (constructed): quitting asks; "No" leaves both windows.
    HWND window = tray->hwnd();
    ::SendMessageW(window, WM_COMMAND, vek::VekTray::kCommandQuit, 0);
    DrainMessages();
    EXPECT_EQ(1, tray->prompts);
    EXPECT_TRUE(::IsWindow(dialogWindow));
    EXPECT_TRUE(::IsWindowEnabled(dialogWindow));

    // A close for a relaunch takes the dialog with it.
    tray->closeForRelaunch();
    DrainMessages();
    EXPECT_FALSE(::IsWindow(window));
    EXPECT_FALSE(::IsWindow(dialogWindow));
    EXPECT_EQ(0u, tray->cleanupFlags());
    tray.reset();
    g_ExitCode = 0;
}

} // namespace
