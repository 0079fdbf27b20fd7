#pragma once
// The launcher's main window: a borderless modeless dialog with the product title, the job list,
// a wait animation and, when the run ends, one of its end pages (whose number is also the process
// exit code). The tray window creates it, owns it and relays every job update and progress record
// to it; the dialog decides when it stays open, closes, asks before exit, restarts Windows after a
// countdown or builds an installation package into a folder the user picks.
#include "ui/dialog/VekDialogEngine.h"
#include "ui/dialog/VekDialogJobList.h"
#include "ui/dialog/VekDialogSystem.h"
#include "ui/window/VekDialogImpl.h"
#include "ui/window/VekMessageLoop.h"

#include "common/system/qkCommandLine.h"

#include <nlohmann/json.hpp>

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vek {

class VekJobEngine;
class VekDataReporter;
class ManifestDocument;
class VekGDIPlusButton;
class VekHyperLink;

// What a test (or a program that is not the launcher) may set instead of the process defaults.
struct VekBaseUIOptions {
    // The engine seam; when empty the dialog wraps the VekJobEngine it was given.
    std::shared_ptr<VekDialogEngine> engine;
    // The job list; when empty the dialog makes the product's job list window.
    std::unique_ptr<VekDialogJobList> jobList;
    // Session, privilege, message box and folder picker calls; null: the real ones.
    VekDialogSystem* system = nullptr;
    // The switches; empty: the process command line.
    std::optional<qkCommandLine> commandLine;
    // Whether the process runs in an interactive session; empty: asked of the system.
    std::optional<bool> interactiveSession;
    // Milliseconds of the 64-bit tick count; empty: GetTickCount64.
    std::function<uint64_t()> tickCount;
    // Waits of the stop sequence (a grace period before stopping, a pause before releasing a
    // waiting plug-in); empty: Sleep.
    std::function<void(DWORD)> sleep;
};

class VekBaseUI : public VekDialogImpl, public VekMessageFilter {
public:
    VekBaseUI(std::shared_ptr<VekDataReporter> reporter, std::shared_ptr<VekJobEngine> jobEngine, HRESULT page);
    VekBaseUI(std::shared_ptr<VekDataReporter> reporter, std::shared_ptr<VekJobEngine> jobEngine, HRESULT page,
              VekBaseUIOptions options);
    ~VekBaseUI() override;

    // The modeless dialog, owned by `owner` (may be null: it then quits the message loop itself).
    HRESULT Create(HWND owner);
    HWND hwnd() const { return m_hWnd; }

    // Shows the end page with that number and sets the exit code to it (silent and unattended
    // runs suppress pages as their rules say).
    void showVekDialog(int page);
    // Back from the wait animation or a page to the job list.
    void showJobUI();

    // Stops a running engine (short grace, no wait) and, unless the exit is a silent one, removes
    // the registry values and the run task.
    void stopJobAndDisableStartAfterReboot();
    // Stops a running engine and lets the engine's end close the window (releasing a plug-in
    // waiting for the upgrade confirmation); without a running engine closes at once.
    void stopAndClose();
    void restartWindows();

    void showWindow(int showCommand);
    void bringToFront(bool topmost);
    void forceForeground();
    void enableExit(bool enable);
    void showWaitAnimation(bool show);

    bool isSilent() const { return m_silent; }
    bool isUnattended() const { return m_unattended; }
    bool isClosing() const { return m_closing; }
    int actionMode1() const { return m_action1Mode; }
    int actionMode2() const { return m_action2Mode; }
    HRESULT lastError() const { return m_lastError; }
    int lastFatalState() const { return m_lastFatalState; }

    // Manifest helpers shared with the tray window and the job windows (the root "vek").
    static bool isCreateMsiJob(const nlohmann::json& manifest);
    static bool isFinishPageHidden(const nlohmann::json& manifest);
    static bool hasProxyServer(const nlohmann::json& manifest);
    static bool hasProxyPassword(const nlohmann::json& manifest);

    // The duration text of a number of seconds (nothing for a negative number).
    static void formatDuration(long long seconds, std::wstring& text);
    // How long the restart countdown waits before it brings the window back to the front.
    static uint64_t reshowInterval(uint64_t remainingMilliseconds);
    // The per-component result text of an install or uninstall job record; `failedComponents`
    // receives how many components report a non-zero code.
    static std::wstring getComponentResultText(const nlohmann::json& job, bool install, int& failedComponents);

    // VekMessageFilter
    bool PreTranslateMessage(MSG& message) override;

    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override;

protected:
    void OnFinalMessage(HWND) override;

private:
    struct Controls;
    struct Impl;
    std::unique_ptr<Impl> m_impl;

    // Message handlers.
    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnUpdateJobInfo(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnJobProgress(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnSysCommand(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnCommand(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnAction1(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnAction2(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnTimer(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnPaint(UINT, WPARAM, LPARAM, BOOL&);

    // Pages.
    void showAttentionMessage();
    void showAlreadyInstalledMessage();
    void showReDownloadDialog();
    void showPackageCreatedMessage();
    void showReEnrollmentInitiatedMessage();
    void showPreRequisiteError(int page);
    void showBackendNotReachable();
    void showRestartCountdown();
    void showChangeLocation();
    void choosePackageLocation(const std::wstring& startFolder);
    bool packageFilesExist();
    void deleteJobFiles();
    void runAction2();
    std::vector<std::wstring> packageFilePaths();

    // Building blocks.
    void placeWindow(HWND after, int x, int y, int width, int height, UINT flags);
    void centerWindow();
    void createControls();
    void decideUiMode();
    void setJobListVisible(bool visible);
    bool isJobListVisible() const;
    void setMiddleTextsVisible(bool visible);
    int engineState();
    void stopEngine(bool wait);
    void forward(UINT message, const VekJobUpdateRecord& record);
    void showList();
    void keepDeferred(const nlohmann::json& job, int event, UINT message);
    std::shared_ptr<ManifestDocument> manifestDocument();
    bool isEndpointManifest();
    void preparePage(int iconId);
    RECT placeLinkOnItsText(VekHyperLink& link, const std::wstring& label, int left, int right, int top,
                            bool alignRight);
    void setFooterClose(int stringId, const wchar_t* fallback);
    void setHeadline(const std::wstring& text);
    void setBody(const std::wstring& text);
    void placePageButton(VekGDIPlusButton& button, const std::wstring& caption, int right);
    int action1Right() const;
    int action2Right() const;
    void applyPartialFailureCode(int failedComponents);

    std::shared_ptr<VekDataReporter> m_DataReporter;
    std::shared_ptr<VekDialogEngine> m_engine;
    std::unique_ptr<VekDialogJobList> m_JobListUI;
    VekDialogSystem* m_system = nullptr;
    qkCommandLine m_commandLine;
    std::optional<bool> m_interactiveSession;
    std::function<uint64_t()> m_tickCount;
    std::function<void(DWORD)> m_sleep;
    HWND m_owner = nullptr;
    bool m_filterAdded = false;

    bool m_highContrast = false;
    bool m_leftToRight = true;
    nlohmann::json m_jobCopy;
    int m_deferredEvent = 0;
    UINT m_deferredMessage = 0;
    HRESULT m_lastError = S_OK;
    int m_lastFatalState = -1;
    uint64_t m_downloadStart = 0;
    int m_action1Mode = 0;
    int m_action2Mode = 0;
    uint64_t m_countdownTotal = 0;
    uint64_t m_countdownStart = 0;
    uint64_t m_countdownLastShow = 0;
    uint64_t m_countdownInterval = 0;

    bool m_silent = false;
    bool m_unattended = false;
    bool m_closing = false;
    bool m_confirmingExit = false;
    bool m_swallowEnter = false;
    bool m_fatalSeen = false;
    bool m_errorSeen = false;
    bool m_retrying = false;
    bool m_jobSucceeded = false;
    bool m_installerFinished = false;
    bool m_restartUpgradeShown = false;
    bool m_prerequisitePageShown = false;
    bool m_messageShown = false;
};

} // namespace vek
