// The job window's countdown and restart panels: the upgrade countdown that releases the
// installation side waiting for the confirmation, the restart-and-upgrade countdown, the restart
// decision after an installation that needs a restart, and the restart panels.
#include "ui/joblist/VekJobUI.h"
#include "ui/joblist/VekJobUIResources.h"

#include "common/errors/qkLog.h"
#include "ui/joblist/VekJobUIEngine.h"
#include "engine/launcher/VekExitCode.h"
#include "engine/launcher/VekSwitches.h"
#include "engine/report/VekStatusEvents.h"
#include "engine/report/VekStatusReporter.h"
#include "services/launcher/VekResultCodes.h"
#include "ui/joblist/VekJobUISystem.h"
#include "ui/resources/CVekResourceLoader.h"

namespace vek {

using namespace jobui;

namespace {

constexpr uint32_t kDefaultUpgradeDelayMinutes = 30;
constexpr uint32_t kDefaultSmartRestartMinutes = 5;

// Milliseconds left of a countdown; negative once it ran out.
long long Remaining(ULONGLONG now, ULONGLONG start, ULONGLONG duration)
{
    const ULONGLONG elapsed = now > start ? now - start : 0;
    return static_cast<long long>(duration) - static_cast<long long>(elapsed);
}

} // namespace

void VekJobUI::ShowUpgradeCountdown()
{
    LogStatusEvent(UPGRADE_NOTIFICATION_SHOWN);
    m_upgradeMode = true;
    m_statusImage.SetImage(kPngAlert);
    SetText(m_title, kStrUpgradeReady);
    SetText(m_status, kStrUpgradeStartsIn);
    SetText(m_description, kStrUpgradeNeedsRestart);
    ShowControl(m_description, true);
    SetButtonCaption(m_pauseButton, kStrUpgradeNow, m_buttonsRight);
    ShowControl(m_pauseButton, true);
    m_panelState = kPanelUpgradeCountdown;
    m_countdownDuration =
        static_cast<ULONGLONG>(m_system->SwitchValue(switches::UPGRADE_DELAY, kDefaultUpgradeDelayMinutes)) * 60000ULL;
    m_countdownStart = m_system->TickCount();

    if (!HasSwitch(switches::ADMIN_INITIATED)) {
        SetButtonCaption(m_cancelCountdownButton, kStrCancel, m_buttonsRight);
        PlaceLeftOf(m_cancelCountdownButton, m_pauseButton);
        ShowControl(m_cancelCountdownButton, true);
    } else {
        ShowControl(m_cancelCountdownButton, false);
    }

    if (HasSwitch(switches::DISABLE_AUTOMATIC_UPGRADE)) {
        QK_LOG_INFO(L"upgrade countdown disabled by switch");
        ShowControl(m_status, false);
        ShowControl(m_progress, false);
        // Close up the description into the place of the hidden texts.
        RECT status{};
        ::GetWindowRect(m_status, &status);
        ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&status), 2);
        ::SetWindowPos(m_description, nullptr, status.left, status.top, 0, 0,
                       SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        return;
    }
    SetText(m_progress, FormatDuration(static_cast<long long>(m_countdownDuration / 1000)));
    ShowControl(m_progress, true);
    ShowControl(m_status, true);
    StartTimer(kTimerUpgradeCountdown, 1000);
}

void VekJobUI::OnUpgradeTimer()
{
    const long long remaining = Remaining(m_system->TickCount(), m_countdownStart, m_countdownDuration);
    if (remaining < 1) {
        ContinueUpgrade();
        return;
    }
    SetText(m_progress, FormatDuration(remaining / 1000));
}

void VekJobUI::ContinueUpgrade()
{
    KillJobTimer(kTimerUpgradeCountdown);
    // A missing event is no error: nothing waits for the confirmation.
    SetContinueUpgradeEvent();
    m_statusImage.SetImage(kPngStatus);
    ShowControl(m_pauseButton, false);
    SetText(m_title, ProductTitle());
    SetText(m_status, kStrInstalling);
    ShowControl(m_status, true);
    ShowControl(m_progress, false);
    ShowControl(m_description, false);
    ShowControl(m_cancelCountdownButton, false);
    // The upgrade goes on: the panel works again (a later click on the button confirms nothing).
    m_panelState = kPanelWorking;
}

void VekJobUI::ShowRestartAndUpgradeCountdown()
{
    QK_LOG_INFO(L"Dialog RESTART_UPGRADE displayed");
    LogStatusEvent(RESTART_UPGRADE_NOTIFICATION_SHOWN);
    SetText(m_title, ProductTitle());
    SetText(m_description, kStrRestartAndUpgradeDescription);
    ShowControl(m_description, true);
    m_panelState = kPanelRestartAndUpgradeCountdown;
    m_countdownDuration =
        static_cast<ULONGLONG>(m_system->SwitchValue(switches::UPGRADE_DELAY, kDefaultUpgradeDelayMinutes)) * 60000ULL;
    SetButtonCaption(m_actionButton, kStrRestartAndUpgrade, m_buttonsRight);
    ShowControl(m_actionButton, true);
    m_countdownStart = m_lastBringToFront = m_system->TickCount();
    m_bringToFrontInterval = BringToFrontInterval(m_countdownDuration / 1000);

    if (!HasSwitch(switches::ADMIN_INITIATED)) {
        SetButtonCaption(m_cancelCountdownButton, kStrCancel, m_buttonsRight);
        PlaceLeftOf(m_cancelCountdownButton, m_actionButton);
        ShowControl(m_cancelCountdownButton, true);
    } else {
        ShowControl(m_cancelCountdownButton, false);
    }

    if (HasSwitch(switches::DISABLE_AUTOMATIC_UPGRADE)) {
        ShowControl(m_progress, false);
        ShowControl(m_status, false);
        return;
    }
    SetText(m_progress, std::wstring());
    ShowControl(m_progress, true);
    SetText(m_status, kStrUpgradeStartsIn);
    ShowControl(m_status, true);
    StartTimer(kTimerRestartCountdown, 1000);
}

void VekJobUI::RestartAndUpgrade()
{
    QK_LOG_INFO(L"User selected RESTART_UPGRADE.");
    if (HasSwitch(switches::DISABLE_AUTOMATIC_UPGRADE) && m_jobEngine)
        m_jobEngine->createRunTask(std::wstring(L"/") + switches::UPGRADE_CONFIRMED);
    SetExitCode(ExitRestartForUpgrade);
    StopEngineAndWait();
    RestartNow(kJobUiCloseCountdownEnd);
}

void VekJobUI::RestartDecision(int32_t event)
{
    QK_LOG_INFO(L"Event %d received", event);
    const size_t sessions = m_system->ActiveSessionCount();
    const bool smartRestart = HasSwitch(switches::SMART_RESTART);
    const uint32_t smartRestartMinutes = m_system->SwitchValue(switches::SMART_RESTART, kDefaultSmartRestartMinutes);
    const bool system = m_system->IsRunningAsSystem();

    if (sessions == 0) {
        QK_LOG_INFO(L"Restart required and no active sessions found.");
        if (smartRestart) {
            QK_LOG_INFO(L"SMART_RESTART specified. Call restart now");
            RestartNow(0);
        } else {
            QK_LOG_INFO(L"SMART_RESTART not specified. Just close VEK.");
            ::PostMessageW(m_hWnd, WM_CLOSE, 0, kJobUiCloseCancelled);
        }
        return;
    }
    bool inSessions = false;
    if (system && sessions > 1) {
        QK_LOG_INFO(L"Multiple sessions are available");
        inSessions = true;
    } else if (system && !m_system->IsInInteractiveSession()) {
        QK_LOG_INFO(L"VEK has no access to desktop and one interactive session is available");
        inSessions = true;
    } else if (!m_system->IsInInteractiveSession()) {
        QK_LOG_INFO(L"Restart required but VEK do not have access do desktop");
        if (smartRestart) {
            QK_LOG_INFO(L"SMART_RESTART specified call reboot");
            RestartNow(0);
        } else {
            QK_LOG_INFO(L"SMART_RESTART not specified, just close VEK");
            ::PostMessageW(m_hWnd, WM_CLOSE, 0, kJobUiCloseCancelled);
        }
        return;
    }
    if (inSessions) {
        QK_LOG_INFO(L"We need to restart process in all users sessions");
        const std::wstring commandLine =
            RestartInSessionsCommandLine(m_system->LauncherPath(), smartRestartMinutes,
                                         HasSwitch(switches::HARD_REBOOT), HasSwitch(switches::ADMIN_INITIATED));
        QK_LOG_INFO(L"Restart with cmd line: %s", commandLine.c_str());
        const LONG result = m_system->StartInAllSessions(commandLine);
        if (result != 0)
            QK_LOG_ERROR(L"Starting in the users' sessions failed, result = 0x%08X", static_cast<unsigned>(result));
        ::PostMessageW(m_hWnd, WM_CLOSE, 0, kJobUiCloseCancelled);
        return;
    }
    ShowRestartPanel();
}

void VekJobUI::ShowRestartPanel()
{
    SetText(m_title, ProductTitle());
    ShowBar(false);
    ShowControl(m_pauseButton, false);
    if (!m_upgradeMode && !HasSwitch(switches::SMART_RESTART)) {
        SetText(m_status, HasSwitch(switches::UNINSTALL) ? kStrRestartForUninstall : kStrWaitingForRestart);
        ShowControl(m_status, true);
        ShowControl(m_progress, false);
        SetButtonCaption(m_actionButton, kStrRestartLater, m_buttonsRight);
        ShowControl(m_actionButton, true);
        m_panelState = kPanelRestartPrompt;
        SetButtonCaption(m_restartNowButton, kStrRestartNow, m_buttonsRight);
        PlaceLeftOf(m_restartNowButton, m_actionButton);
        ShowControl(m_restartNowButton, true);
        return;
    }
    LogStatusEvent(REBOOT_REQUIRED_NOTIFICATION_SHOWN);
    SetText(m_status, kStrRestartIn);
    ShowControl(m_status, true);
    SetText(m_description, kStrRestartDescription);
    ShowControl(m_description, true);
    m_panelState = kPanelRestartCountdown;
    SetButtonCaption(m_actionButton, kStrRestartNow, m_buttonsRight);
    ShowControl(m_actionButton, true);
    m_countdownDuration = static_cast<ULONGLONG>(m_system->SwitchValue(switches::SMART_RESTART,
                                                                         kDefaultSmartRestartMinutes)) *
                          60000ULL;
    m_countdownStart = m_lastBringToFront = m_system->TickCount();
    m_bringToFrontInterval = BringToFrontInterval(m_countdownDuration / 1000);
    if (!HasSwitch(switches::ADMIN_INITIATED)) {
        SetButtonCaption(m_cancelCountdownButton, kStrCancel, m_buttonsRight);
        PlaceLeftOf(m_cancelCountdownButton, m_actionButton);
        ShowControl(m_cancelCountdownButton, true);
    } else {
        ShowControl(m_cancelCountdownButton, false);
    }
    SetText(m_progress, FormatDuration(static_cast<long long>(m_countdownDuration / 1000)));
    ShowControl(m_progress, true);
    StartTimer(kTimerRestartCountdown, 1000);
}

void VekJobUI::OnRestartTimer()
{
    if (m_panelState != kPanelRestartCountdown && m_panelState != kPanelRestartAndUpgradeCountdown) {
        KillJobTimer(kTimerRestartCountdown);
        return;
    }
    const ULONGLONG now = m_system->TickCount();
    const long long remaining = Remaining(now, m_countdownStart, m_countdownDuration);
    if (remaining < 1) {
        KillJobTimer(kTimerRestartCountdown);
        StopEngineAndWait();
        RestartNow(kJobUiCloseCountdownEnd);
        return;
    }
    SetText(m_progress, FormatDuration(remaining / 1000));
    if (now - m_lastBringToFront > m_bringToFrontInterval) {
        m_lastBringToFront = now;
        m_bringToFrontInterval = BringToFrontInterval(static_cast<ULONGLONG>(remaining / 1000));
        if (HWND dialog = MainDialog())
            ::PostMessageW(dialog, WM_VEK_SHOW_MAIN_WINDOW, 0, 0);
        QK_LOG_INFO(L"restore VEK windows to show restart message");
    }
}

void VekJobUI::RestartNow(LPARAM closeParam)
{
    ::PostMessageW(m_hWnd, WM_CLOSE, 0, closeParam);
    m_system->RestartWindows(MainDialog());
}

} // namespace vek
