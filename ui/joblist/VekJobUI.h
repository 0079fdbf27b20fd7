#pragma once
// The job window: the panel the main dialog shows for one job. It turns the job's events and
// progress into a status text, a progress display with the amount downloaded and the time left,
// and a few buttons and links whose meaning follows the panel state: pause and resume, retry,
// close, cancel, restart now or later, and upgrade. It also runs the upgrade and restart
// countdowns and the actions after a finished job.
//
// Everything it shows comes from the copies that the messages carry (the job node of the last
// update, the manifest of the engine's start event), never from the live manifest document.
#include "ui/VekJobUpdateRecord.h"
#include "ui/VekProgressRecord.h"
#include "ui/VekWindowMessages.h"
#include "ui/controls/CStaticImage.h"
#include "ui/controls/CTransparentStatic.h"
#include "ui/controls/InfiniteBar.h"
#include "ui/controls/VekGDIPlusButton.h"
#include "ui/controls/VekHyperLink.h"
#include "ui/util/VekFonts.h"
#include "ui/window/VekGdi.h"
#include "ui/window/VekMessageLoop.h"
#include "ui/window/VekWindowImpl.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace vek {

class VekJobUIEngine;
class VekDataReporter;
class VekJobUISystem;

// Command identifiers of the job window's controls.
enum VekJobUIControl : UINT {
    kJobUiPauseButton = 4301,
    kJobUiOpenDownloadFolder = 4302, // command only
    kJobUiActionButton = 4303,
    kJobUiRestartNowButton = 4304,
    kJobUiCancelInstallButton = 4305,
    kJobUiClickHereLink = 4306,
    kJobUiActivationLink = 4307,
    kJobUiCancelCountdownButton = 4308,
    kJobUiTitleText = 4320,
    kJobUiStatusText = 4321,
    kJobUiProgressText = 4322,
    kJobUiSecondLineText = 4323,
    kJobUiDescriptionText = 4342,
};

// What the panel shows and what its buttons do.
enum VekJobPanelState : int32_t {
    kPanelWorking = 0,
    kPanelPaused = 1,
    kPanelInstallError = 2,  // retry possible
    kPanelDownloadError = 3, // retry possible
    kPanelFinished = 4,
    kPanelUpgradeCountdown = 5,
    kPanelRestartCountdown = 6,
    kPanelRestartPrompt = 7,
    kPanelRestartAndUpgradeCountdown = 8,
};

// lParam of the WM_CLOSE that ends the run after a cancel or a start in the users' sessions, and
// after a countdown that ran out.
// The named event that the installation side waits on during an upgrade countdown: set when the
// countdown ends or the user starts the upgrade at once.
constexpr wchar_t kContinueUpgradeEvent[] = L"VEK_ContinueUpgrade";

constexpr LPARAM kJobUiCloseCancelled = 200;
constexpr LPARAM kJobUiCloseCountdownEnd = 201;

class VekJobUI : public VekWindowImpl, public VekMessageFilter {
public:
    // reporter: owned by the UI engine, may be null.
    VekJobUI(std::shared_ptr<VekJobUIEngine> jobEngine, VekDataReporter* reporter, size_t jobIndex);
    ~VekJobUI() override;

    // The system calls (tests replace them); the real ones when never set.
    void SetSystem(std::shared_ptr<VekJobUISystem> system);
    // The manifest as the engine's start event carried it (shared by the job windows).
    void SetManifest(std::shared_ptr<const nlohmann::json> manifest);

    // Creates the window, a child of the job list (WS_CHILD | WS_VISIBLE, WS_EX_CONTROLPARENT).
    HWND Create(HWND parent, const RECT& rect);

    // Size and time texts of the panel; empty when there is nothing to show (a negative
    // duration, a size of 1 TiB or more).
    static std::wstring FormatSize(unsigned long long bytes);
    static std::wstring FormatDuration(long long seconds);
    // The number text in the user's locale format; the text unchanged when that fails.
    static std::wstring FormatNumber(const std::wstring& number);
    // Milliseconds until a countdown brings the main dialog to the front again.
    static ULONGLONG BringToFrontInterval(ULONGLONG remainingSeconds);
    // The command line that starts the launcher in the users' sessions to show the restart prompt.
    static std::wstring RestartInSessionsCommandLine(const std::wstring& launcherPath, uint32_t smartRestartMinutes,
                                                     bool hardReboot, bool adminInitiated);
    // Deletes every file named by the node's file_array destination_file; true when all went.
    static bool deleteFilesForJob(const nlohmann::json& jobNode);
    // Opens the named event the waiting installation side created and sets it; false when it
    // does not exist.
    static bool SetContinueUpgradeEvent();

    int32_t GetPanelState() const { return m_panelState; }
    size_t GetJobIndex() const { return m_jobIndex; }
    // The job node of the last update (a copy).
    const nlohmann::json& GetJobNode() const { return m_jobNode; }
    int32_t GetFinishKind() const { return m_finishKind; }
    bool IsUpgradeMode() const { return m_upgradeMode; }
    bool IsUpgradeFailed() const { return m_upgradeFailed; }
    // A control's text as shown (text controls and button captions), empty for unknown ids.
    std::wstring GetControlText(UINT controlId) const;
    // Whether a control's window is visible (WS_VISIBLE), false for unknown ids.
    bool IsControlShown(UINT controlId) const;
    // The finish description painted below the status (empty when none).
    const std::wstring& GetFinishDescription() const { return m_finishDescription; }
    bool IsBarShown() const;
    bool IsBarAnimating() const;

    bool PreTranslateMessage(MSG& message) override;

    LRESULT OnUpdateJobInfo(UINT, WPARAM wParam, LPARAM lParam, BOOL&);
    LRESULT OnJobProgress(UINT, WPARAM wParam, LPARAM, BOOL&);
    void OnClickHere();
    void OnActivationClick();

    VEK_BEGIN_MSG_MAP(VekJobUI)
    VEK_MESSAGE_HANDLER(WM_COMMAND, OnCommand)
    VEK_MESSAGE_HANDLER(WM_CLOSE, OnClose)
    VEK_MESSAGE_HANDLER(WM_CREATE, OnCreate)
    VEK_MESSAGE_HANDLER(WM_LBUTTONDOWN, OnLButtonDown)
    VEK_MESSAGE_HANDLER(WM_CTLCOLORDLG, OnCtlColor)
    VEK_MESSAGE_HANDLER(WM_CTLCOLORSTATIC, OnCtlColor)
    VEK_MESSAGE_HANDLER(WM_ERASEBKGND, OnEraseBackground)
    VEK_MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    VEK_MESSAGE_HANDLER(WM_VEK_UPDATE_JOB_INFO, OnUpdateJobInfo)
    VEK_MESSAGE_HANDLER(WM_VEK_JOB_PROGRESS_INFO, OnJobProgress)
    VEK_MESSAGE_HANDLER(WM_PAINT, OnPaint)
    VEK_MESSAGE_HANDLER(WM_TIMER, OnTimer)
    VEK_MESSAGE_HANDLER(WM_THEMECHANGED, OnThemeChanged)
    VEK_MESSAGE_HANDLER(WM_VEK_INVALIDATE_AREA, OnInvalidateArea)
    VEK_MESSAGE_HANDLER(WM_GETOBJECT, OnGetObject)
    VEK_MESSAGE_HANDLER(WM_NOTIFY, OnNotify)
    VEK_REFLECT_NOTIFICATIONS()
    VEK_END_MSG_MAP()

private:
    LRESULT OnCommand(UINT, WPARAM wParam, LPARAM lParam, BOOL& handled);
    LRESULT OnClose(UINT, WPARAM wParam, LPARAM lParam, BOOL&);
    LRESULT OnCreate(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnLButtonDown(UINT, WPARAM, LPARAM lParam, BOOL&);
    LRESULT OnCtlColor(UINT, WPARAM wParam, LPARAM, BOOL&);
    LRESULT OnEraseBackground(UINT, WPARAM, LPARAM, BOOL&) { return 1; }
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled);
    LRESULT OnPaint(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnTimer(UINT, WPARAM wParam, LPARAM, BOOL& handled);
    LRESULT OnThemeChanged(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnInvalidateArea(UINT, WPARAM wParam, LPARAM lParam, BOOL&);
    LRESULT OnGetObject(UINT, WPARAM wParam, LPARAM lParam, BOOL& handled);
    LRESULT OnNotify(UINT, WPARAM wParam, LPARAM lParam, BOOL& handled);

    // Panels and actions.
    void HandleEvent(int32_t event);
    void OnPauseButton();
    void OnAction();
    void Retry();
    void ShowRetryPanel(int32_t event);
    void ShowInstallErrorPanel();
    void ShowUpgradeCountdown();
    void ShowRestartAndUpgradeCountdown();
    void ContinueUpgrade();
    void RestartAndUpgrade();
    void RestartDecision(int32_t event);
    void ShowRestartPanel();
    void RestartNow(LPARAM closeParam);
    void PaintFinishDescription();
    void OnRemainingTimeTimer();
    void OnUpgradeTimer();
    void OnRestartTimer();
    void StopEngineAndWait();
    void OpenPage(int defaultStringId, const char* manifestKey);
    // From the manifest copy: whether the first job builds a package, a "global" text.
    bool FirstJobCreatesMsi() const;
    std::wstring GlobalText(const char* key) const;

    // Control helpers.
    void SetText(CTransparentStatic& control, int stringId);
    void SetText(CTransparentStatic& control, const std::wstring& text);
    void ShowControl(HWND control, bool show);
    void ShowBar(bool show);
    // Stacks the shown texts under the title, each under the one before, so that a text that
    // grows to more lines pushes the next one down instead of lying on it.
    void LayoutTexts();
    void SetButtonCaption(VekGDIPlusButton& button, int stringId, int rightEdge);
    void PlaceLeftOf(VekGDIPlusButton& button, const VekGDIPlusButton& anchor);
    bool StartTimer(UINT_PTR id, UINT milliseconds);
    void KillJobTimer(UINT_PTR id);
    HWND MainDialog() const;
    std::wstring ProductTitle() const;
    size_t JobCount() const;
    bool HasSwitch(const wchar_t* name) const;
    void ResetSpeedRing();
    void ReportEvent(int event);
    void SetExitCode(int code);
    int Scale(int designPixels, bool horizontal) const;

    // Every button of the panel: the mouse over it selects its hover image, and a click is its
    // own (on release over the button), never the system button's.
    static constexpr DWORD kButtonStyle = CGDIPlusButtonImpl::kStyleHover;

    // Controls.
    InfiniteBar m_bar;
    CStaticImage m_statusImage;
    CStaticImage m_alertImage;
    CStaticImage m_barPlaceholder;
    CStaticImage m_furtherImage;
    CTransparentStatic m_title;
    CTransparentStatic m_status;
    CTransparentStatic m_progress;
    CTransparentStatic m_description;
    CTransparentStatic m_secondLine;
    VekGDIPlusButton m_actionButton{kButtonStyle};
    VekGDIPlusButton m_pauseButton{kButtonStyle};
    VekGDIPlusButton m_restartNowButton{kButtonStyle};
    VekGDIPlusButton m_cancelInstallButton{kButtonStyle};
    VekGDIPlusButton m_cancelCountdownButton{kButtonStyle};
    VekHyperLink m_clickHereLink;
    VekHyperLink m_activationLink;
    VekFontSet m_fonts;
    VekFont m_linkFont;

    std::shared_ptr<VekJobUIEngine> m_jobEngine;
    // Progress.
    unsigned long long m_totalBytes = 0;
    unsigned long long m_bytesDone = 0;
    unsigned long long m_previousBytesDone = 0;
    ULONGLONG m_firstProgressTick = 0;
    std::array<int32_t, 5> m_speedSamples{-1, -1, -1, -1, -1}; // bytes per millisecond, -1 empty
    size_t m_nextSample = 0;

    size_t m_jobIndex = 0;
    nlohmann::json m_jobNode;
    VekDataReporter* m_reporter = nullptr;
    int32_t m_panelState = kPanelWorking;
    int32_t m_downloadStarts = 0;

    bool m_leftToRight = true;
    bool m_highContrast = false;
    bool m_firstProgressPending = true;
    bool m_retryDownloadPending = false;
    bool m_installError = false;
    bool m_downloadError = false;
    bool m_diskFull = false;
    bool m_upgradeMode = false;
    bool m_upgradeFailed = false;
    int32_t m_finishKind = 0;

    // Countdown.
    ULONGLONG m_countdownStart = 0;
    ULONGLONG m_countdownDuration = 0;
    ULONGLONG m_lastBringToFront = 0;
    ULONGLONG m_bringToFrontInterval = 0;

    std::shared_ptr<VekJobUISystem> m_system;
    std::shared_ptr<const nlohmann::json> m_manifest;
    std::wstring m_finishDescription;
    RECT m_finishRect{};
    int m_buttonsRight = 0; // the x on which the panel's first button aligns its right edge
    int m_textBottom = 0;   // the lowest y the text column should reach (the bar row's top)
    bool m_filtering = false;
};

} // namespace vek
