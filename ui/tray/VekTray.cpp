#include "ui/tray/VekTray.h"

#include "ui/VekJobUpdateRecord.h"
#include "ui/res/VekStringIds.h"
#include "ui/VekProgressRecord.h"
#include "ui/VekWindowMessages.h"
#include "ui/dialog/VekBaseUI.h"
#include "ui/resources/CVekResourceLoader.h"
#include "ui/util/VekLayoutDirection.h"

#include "common/base/qkExceptionInfo.h"
#include "common/errors/qkLog.h"
#include "engine/log/VekStartupTrace.h"
#include "common/system/qkResourceHolders.h"
#include "common/system/qkUniqueResource.h"
#include "engine/launcher/VekExitCode.h"
#include "engine/launcher/VekProcessMitigations.h"
#include "engine/manifest/ManifestDocument.h"
#include "engine/manifest/ManifestAccess.h"
#include "engine/manifest/ManifestJson.h"
#include "engine/manifest/VekJobStates.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekTools.h"

#include <shlwapi.h>
#include <versionhelpers.h>

#include <algorithm>
#include <cwchar>

namespace vek {

namespace {

using json = nlohmann::json;
using VekMenu = qkUniqueResource<HMENU, &::DestroyMenu>;

constexpr wchar_t kTrayClassName[] = L"VEK_Tray";
constexpr UINT kDefaultProductTitleId = 146;
constexpr UINT kStringStartingDownload = 131;
constexpr UINT kStringOpen = 292;
constexpr UINT kStringQuit = 293;
constexpr DWORD kBalloonInfoFlags = 0x15; // information icon, the user's icon, no sound

// The engine states in which a quit asks nothing: the run has failed or ended.
bool RunIsOver(int32_t state)
{
    return state == engine_state::eFatalError || state == engine_state::eFailover ||
           state == engine_state::eJobsDone || state == engine_state::eCleanedUp;
}

// Copies text into a fixed field of the notification record. Text that does not fit ends in
// "..." so that the cut is visible.
template <size_t N>
void CopyField(wchar_t (&field)[N], const std::wstring& text)
{
    if (text.size() < N) {
        std::wmemcpy(field, text.c_str(), text.size() + 1);
        return;
    }
    const size_t keep = N - 4;
    std::wmemcpy(field, text.c_str(), keep);
    std::wmemcpy(field + keep, L"...", 4);
}

// What a job update tells the tray, read from the record's copy before it is passed on.
struct UpdateFacts {
    bool downloadJob = false;           // "job_type" is "download"
    bool keepMinimizeOnInstall = true;  // "product_data"."minimize_on_install" is not false
    bool createMsiJob = false;          // the first job's "create_msi" is "true"
    bool finishPageHidden = false;      // "global"."hide_finish_page" is true
    std::wstring jobDescription;        // "distribution"."job_description"
};

// The facts of the manifest as a whole (event 10 carries the whole document), by the main
// dialog's own rules.
void ReadManifestFacts(const json& root, UpdateFacts& facts)
{
    facts.createMsiJob = VekBaseUI::isCreateMsiJob(root);
    facts.finishPageHidden = VekBaseUI::isFinishPageHidden(root);
}

UpdateFacts ReadUpdateFacts(const json& job, const std::shared_ptr<VekTrayEngine>& engine, int32_t event)
{
    UpdateFacts facts;
    facts.downloadJob = ManifestAccess::JobType(job) == L"download";
    const json* minimize = ManifestJson::Path(&job, {"product_data", "minimize_on_install"});
    facts.keepMinimizeOnInstall = minimize == nullptr || ManifestJson::Boolean(minimize, "minimize_on_install", true);
    facts.jobDescription = ManifestAccess::JobDescription(job);
    if (event == eEngineJobsDone) {
        if (ManifestJson::Member(&job, "vek") != nullptr) {
            ReadManifestFacts(job, facts);
        } else if (engine) {
            if (auto manifest = engine->GetManifest())
                ReadManifestFacts(manifest->Snapshot(), facts);
        }
    }
    return facts;
}

} // namespace

VekTray::VekTray(std::shared_ptr<VekDataReporter> reporter, std::shared_ptr<VekTrayEngine> engine,
                 VekTrayOptions options)
    : m_DataReporter(std::move(reporter)), m_engine(std::move(engine)), m_options(std::move(options))
{
    if (m_options.commandLine)
        m_commandLine = *m_options.commandLine;
    else
        m_commandLine.ParseProcessCommandLine();
    m_startHidden = m_commandLine.HasSwitch(L"m") != FALSE;
    if (m_engine) {
        if (auto manifest = m_engine->GetManifest()) {
            // The install job's distribution.ui_mode, as the manifest view reads it.
            m_manifestSilent = manifest->Read([](const json& root) {
                const json* job = ManifestAccess::FirstJob(root);
                return job != nullptr && ManifestAccess::IsSilentUIMode(*job);
            });
        }
    }
    if (m_manifestSilent)
        m_startHidden = true;
    m_taskbarCreatedMessage = ::RegisterWindowMessageW(L"TaskbarCreated");
}

VekTray::~VekTray()
{
    // Destroyed here, while the tray's own handlers still run: the icon goes with the window.
    if (m_hWnd != nullptr && ::IsWindow(m_hWnd))
        ::DestroyWindow(m_hWnd);
}

HRESULT VekTray::Create()
{
    if (!RegisterWindowClass(kTrayClassName, CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS,
                             reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1)),
                             ::LoadCursorW(nullptr, IDC_ARROW))) {
        QK_LOG_ERROR(L"Window class %s not registered, error %lu", kTrayClassName, ::GetLastError());
        return VEK_E_TRAY_WINDOW;
    }
    // Default position, no size: the window is never shown.
    const RECT rect{CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT};
    if (VekWindowImpl::Create(kTrayClassName, nullptr, rect, L"", 0) == nullptr) {
        QK_LOG_ERROR(L"Tray window not created, error %lu", ::GetLastError());
        return VEK_E_TRAY_WINDOW;
    }
    return S_OK;
}

void VekTray::closeForRelaunch()
{
    m_closingForRelaunch = true;
    HWND window = m_hWnd;
    if (window != nullptr && !::PostMessageW(window, WM_CLOSE, 0, 0))
        QK_LOG_WARNING(L"WM_CLOSE not posted, error %lu", ::GetLastError());
}

DWORD VekTray::NotifyIconDataSize(bool versionKnown, DWORD major, DWORD minor, DWORD build)
{
    const bool older = versionKnown && (major < 6 || (major == 6 && minor == 0 && build < 6001));
    return older ? static_cast<DWORD>(NOTIFYICONDATAW_V2_SIZE) : static_cast<DWORD>(sizeof(NOTIFYICONDATAW));
}
#ifndef _WIN64
static_assert(NOTIFYICONDATAW_V2_SIZE == 936 && sizeof(NOTIFYICONDATAW) == 956,
              "the shell reads the record by these sizes");
#endif

bool VekTray::QueryShellVersion(DWORD& major, DWORD& minor, DWORD& build)
{
    qkLibrary shell(LoadSystemLibrary(L"shell32.dll"));
    if (!shell)
        return false;
    auto getVersion = reinterpret_cast<DLLGETVERSIONPROC>(
        reinterpret_cast<void*>(::GetProcAddress(shell.Get(), "DllGetVersion")));
    if (getVersion == nullptr)
        return false;
    DLLVERSIONINFO info{};
    info.cbSize = sizeof(info);
    if (FAILED(getVersion(&info)))
        return false;
    major = info.dwMajorVersion;
    minor = info.dwMinorVersion;
    build = info.dwBuildNumber;
    return true;
}

// ---- message map ------------------------------------------------------------------------------

BOOL VekTray::ProcessWindowMessage(HWND, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult)
{
    // An exception of a handler is caught by the window procedure's ladder (a failed WM_CREATE
    // fails the window's creation).
    return dispatchMessage(uMsg, wParam, lParam, lResult);
}

BOOL VekTray::dispatchMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult)
{
    BOOL bHandled = TRUE;
    (void)bHandled;
    VEK_COMMAND_ID_HANDLER(kCommandOpen, OnOpen)
    VEK_COMMAND_ID_HANDLER(kCommandQuit, OnQuit)
    VEK_MESSAGE_HANDLER(WM_CLOSE, OnClose)
    VEK_MESSAGE_HANDLER(WM_CREATE, OnCreate)
    VEK_MESSAGE_HANDLER(WM_ENDSESSION, OnEndSession)
    VEK_MESSAGE_HANDLER(WM_QUERYENDSESSION, OnQueryEndSession)
    VEK_MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    VEK_MESSAGE_HANDLER(WM_VEK_JOB_UPDATE, OnJobUpdate)
    VEK_MESSAGE_HANDLER(WM_VEK_JOB_PROGRESS, OnJobProgress)
    if (m_taskbarCreatedMessage != 0)
        VEK_MESSAGE_HANDLER(m_taskbarCreatedMessage, OnTaskbarCreated)
    VEK_MESSAGE_HANDLER(WM_VEK_TRAY_NOTIFY, OnTrayNotify)
    VEK_MESSAGE_HANDLER(WM_VEK_DISABLE_EXIT, OnDisableExit)
    VEK_MESSAGE_HANDLER(WM_VEK_ENABLE_EXIT, OnEnableExit)
    VEK_MESSAGE_HANDLER(WM_TIMER, OnTimer)
    return FALSE;
}

// ---- creation and end -------------------------------------------------------------------------

LRESULT VekTray::OnCreate(UINT, WPARAM, LPARAM, BOOL&)
{
    HMODULE module = CVekResourceLoader::Instance().GetModule();

    DWORD major = 0, minor = 0, build = 0;
    const bool versionKnown = QueryShellVersion(major, minor, build);
    m_notifyIconData = NOTIFYICONDATAW{};
    m_notifyIconData.cbSize = NotifyIconDataSize(versionKnown, major, minor, build);
    m_notifyIconData.hWnd = m_hWnd;
    m_notifyIconData.uID = kIconId;
    m_notifyIconData.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    m_notifyIconData.uCallbackMessage = WM_VEK_TRAY_NOTIFY;
    // Shared icons belong to the system: nothing to free.
    m_notifyIconData.hIcon = static_cast<HICON>(::LoadImageW(module, MAKEINTRESOURCEW(kIconId), IMAGE_ICON,
                                                             ::GetSystemMetrics(SM_CXSMICON),
                                                             ::GetSystemMetrics(SM_CYSMICON), LR_SHARED));
    if (m_notifyIconData.hIcon == nullptr)
        QK_LOG_WARNING(L"Icon %u not loaded, error %lu", kIconId, ::GetLastError());

    m_leftToRight = !IsRightToLeftLayout(LoadText(kStringLayout));

    // The window's own icons; the program icon stands in when the executable has no separate one.
    for (const bool big : {true, false}) {
        const int cx = ::GetSystemMetrics(big ? SM_CXICON : SM_CXSMICON);
        const int cy = ::GetSystemMetrics(big ? SM_CYICON : SM_CYSMICON);
        HANDLE icon = ::LoadImageW(module, MAKEINTRESOURCEW(kWindowIconId), IMAGE_ICON, cx, cy, LR_SHARED);
        if (icon == nullptr)
            icon = ::LoadImageW(module, MAKEINTRESOURCEW(kIconId), IMAGE_ICON, cx, cy, LR_SHARED);
        ::SendMessageW(m_hWnd, WM_SETICON, big ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    }

    CopyField(m_notifyIconData.szTip, LoadText(productTitleId()));

    TraceStartupStep(StartupStep::MainDialog);
    m_mainDialog = createMainDialog(m_hWnd);
    if (!mainDialogIsWindow()) {
        QK_LOG_ERROR(L"Main dialog not created: the tray window fails");
        m_mainDialog.reset();
        return -1;
    }
    if (m_startHidden) {
        m_mainDialog->showWindow(SW_HIDE);
    } else {
        m_mainDialog->showWindow(SW_SHOW);
    }
    TraceStartupStep(StartupStep::TrayIcon);
    m_iconAdded = notifyIcon(NIM_ADD, m_notifyIconData) != FALSE;
    if (!m_iconAdded)
        QK_LOG_WARNING(L"Notification icon not added; the launcher goes on without it");
    m_created = true;
    return 0;
}

LRESULT VekTray::OnClose(UINT, WPARAM, LPARAM, BOOL&)
{
    if (m_engine) {
        try {
            m_engine->Stop(true);
        } catch (const std::exception& e) {
            QK_LOG_ERROR(L"Stopping the job engine failed: %hs", e.what());
        }
    }
    decideCleanupFlags();
    if (m_cleanupFlags != 0 && m_engine) {
        QK_LOG_INFO(L"Clean-up with flags 0x%X", m_cleanupFlags);
        try {
            m_engine->CleanUp(m_cleanupFlags);
        } catch (const std::exception& e) {
            QK_LOG_ERROR(L"Clean-up failed: %hs", e.what());
        }
    }
    ::DestroyWindow(m_hWnd);
    return 0;
}

void VekTray::decideCleanupFlags()
{
    const bool considered = m_engine && !m_keepState && !m_sessionEnding && !m_closingForRelaunch &&
                            !VekTools::isSilentExit(m_commandLine, static_cast<uint32_t>(g_ExitCode), m_manifestSilent);
    if (!considered) {
        m_cleanupFlags = 0;
        return;
    }
    if (m_engine->GetEngineState() == engine_state::eCustomLocationRequired)
        m_cleanupFlags &= ~eCleanDownloads;
    if (m_engine->areAllJobsComplete()) {
        m_cleanupFlags &= ~eCleanDownloads;
    } else if (m_engine->GetJobCount() > 1 && m_engine->isFirstJobComplete()) {
        // A finished first job keeps its downloads for the jobs still to come.
        m_cleanupFlags &= ~eCleanDownloads;
    } else if (m_fatalJobFailure) {
        m_cleanupFlags = eCleanRegistry;
    }
}

LRESULT VekTray::OnDestroy(UINT, WPARAM, LPARAM, BOOL&)
{
    if (m_iconAdded) {
        notifyIcon(NIM_DELETE, m_notifyIconData);
        m_iconAdded = false;
    }
    ::KillTimer(m_hWnd, kTimerMinimizeOnInstall);
    // Records still queued for this window would never be freed otherwise.
    DrainJobUpdateRecords(m_hWnd, WM_VEK_JOB_UPDATE);
    DrainProgressRecords(m_hWnd, WM_VEK_JOB_PROGRESS);
    // A window whose creation failed is destroyed too (Windows sends it WM_DESTROY): the start
    // then shows the main dialog on its own, and a quit posted here would end its message loop
    // before the dialog ever painted.
    if (m_created)
        ::PostQuitMessage(g_ExitCode);
    m_created = false;
    return 0;
}

LRESULT VekTray::OnQueryEndSession(UINT, WPARAM, LPARAM, BOOL&)
{
    if (m_engine) {
        try {
            m_engine->Stop(true);
        } catch (const std::exception& e) {
            QK_LOG_ERROR(L"Stopping the job engine failed: %hs", e.what());
        }
    }
    return TRUE;
}

LRESULT VekTray::OnEndSession(UINT, WPARAM, LPARAM, BOOL&)
{
    m_sessionEnding = true;
    return 0;
}

LRESULT VekTray::OnTaskbarCreated(UINT, WPARAM, LPARAM, BOOL&)
{
    // A restarted shell has forgotten the icon; older systems restore it by themselves.
    if (windows8OrLater() && mainDialogIsWindow())
        m_iconAdded = notifyIcon(NIM_ADD, m_notifyIconData) != FALSE || m_iconAdded;
    return 0;
}

// ---- the road of job updates and progress -----------------------------------------------------

LRESULT VekTray::OnJobUpdate(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    std::unique_ptr<VekJobUpdateRecord> record = TakeJobUpdateRecord(wParam);
    if (!m_mainDialog)
        return 0; // dropped; the record goes with this scope
    const auto event = static_cast<int32_t>(lParam);
    if (!record) {
        record = std::make_unique<VekJobUpdateRecord>();
        record->event = event;
    }
    const UpdateFacts facts = ReadUpdateFacts(record->job, m_engine, event);
    PostJobUpdateRecord(m_mainDialog->hwnd(), WM_VEK_UPDATE_JOB_INFO, std::move(record));

    switch (event) {
    case eJobPluginEvent15:
        showMainWindow(false);
        break;
    case eJobPluginEvent4:
        m_minimizeOnInstall = facts.keepMinimizeOnInstall;
        if (setTimer(kTimerMinimizeOnInstall, kMinimizeDelayMs) == 0)
            QK_LOG_ERROR(L"SetTimer() failed, hr=0x%08X", static_cast<unsigned>(HRESULT_FROM_WIN32(::GetLastError())));
        break;
    case eFailover:
    case eFatalError:
        m_fatalJobFailure = true;
        break;
    case eJobInstallFailed:
    case eJobInstallPluginStopped:
    case eJobInstallCancelled:
    case eJobInstallUACCancelled:
    case eJobInstallStopped:
        m_minimizeOnInstall = false;
        m_failureSeen = true;
        break;
    case eJobPluginError:
    case eJobPluginEvent37:
    case eJobPluginEvent38:
        m_closeOnCompletion = false;
        break;
    case eEngineJobsDone:
        if (m_engine && m_engine->GetEngineState() == engine_state::eJobsDone && !m_failureSeen) {
            m_cleanupFlags = eCleanAllButDownloads;
            if (!facts.createMsiJob && facts.finishPageHidden && m_closeOnCompletion)
                ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
        }
        break;
    case eJobInstallIncomplete:
    case eJobPluginEvent43:
        m_keepState = true;
        break;
    case eJobInstallErrorRetryDownload:
        m_minimizeOnInstall = false;
        break;
    case eJobDownloadFinish:
        if (facts.downloadJob)
            m_cleanupFlags = eCleanAllButDownloads;
        break;
    default:
        break;
    }

    if (mainDialogVisible())
        return 0;

    switch (event) {
    case eJobInstallStopped:
    case eJobInstallErrorRetryDownload:
    case eJobInstallFailed:
    case eFatalError:
    case eJobInstallCancelled:
    case eJobInstallIncomplete:
    case eJobInstallPluginStopped:
    case eJobInstallUACCancelled:
    case eJobRebootRequired:
    case eJobValidationFailed:
    case eJobDiskFull:
        showMainWindow(true);
        break;
    case eJobDownloadStart:
        showBalloon(LoadText(kStringStartingDownload), facts.jobDescription);
        break;
    case eEngineJobsDone:
        if (facts.createMsiJob || !facts.finishPageHidden)
            showMainWindow(true);
        break;
    case eFailover:
        showMainWindow(true);
        showBalloon(L"", L"");
        break;
    default:
        break;
    }
    return 0;
}

LRESULT VekTray::OnJobProgress(UINT, WPARAM wParam, LPARAM, BOOL&)
{
    std::unique_ptr<VekProgressRecord> record = TakeProgressRecord(wParam);
    if (m_mainDialog && record)
        PostProgressRecord(m_mainDialog->hwnd(), WM_VEK_JOB_PROGRESS_INFO, std::move(record));
    return 0;
}

LRESULT VekTray::OnTimer(UINT, WPARAM wParam, LPARAM, BOOL& handled)
{
    if (wParam != kTimerMinimizeOnInstall) {
        handled = FALSE;
        return 0;
    }
    ::KillTimer(m_hWnd, kTimerMinimizeOnInstall);
    if (m_mainDialog && m_minimizeOnInstall && !m_quitPromptOpen)
        showMainWindow(false);
    return 0;
}

// ---- icon, menu and quit -------------------------------------------------------------------------

LRESULT VekTray::OnTrayNotify(UINT, WPARAM, LPARAM lParam, BOOL&)
{
    if (m_quitPromptOpen)
        return 0;
    switch (LOWORD(lParam)) {
    case WM_LBUTTONUP:
    case WM_LBUTTONDBLCLK:
    case NIN_BALLOONUSERCLICK:
        showMainWindow(true);
        break;
    case WM_RBUTTONUP:
        showContextMenu();
        break;
    default:
        break;
    }
    return 0;
}

void VekTray::showContextMenu()
{
    VekMenu bar(::CreateMenu());
    HMENU popup = ::CreatePopupMenu();
    if (!bar || popup == nullptr) {
        QK_LOG_ERROR(L"Menu not created, error %lu", ::GetLastError());
        if (popup != nullptr)
            ::DestroyMenu(popup);
        return;
    }
    if (!::AppendMenuW(bar.Get(), MF_POPUP, reinterpret_cast<UINT_PTR>(popup), L"VEK Tray Menu")) {
        ::DestroyMenu(popup);
        return;
    }
    HWND dialog = m_mainDialog ? m_mainDialog->hwnd() : nullptr;
    const bool dialogDisabled = dialog != nullptr && ::IsWindow(dialog) && !::IsWindowEnabled(dialog);
    const std::wstring open = LoadText(kStringOpen);
    const std::wstring quit = LoadText(kStringQuit);
    ::AppendMenuW(popup, MF_STRING | (mainDialogVisible() ? MF_GRAYED : 0), kCommandOpen, open.c_str());
    ::AppendMenuW(popup, MF_STRING | (dialogDisabled || m_exitDisabled ? MF_GRAYED : 0), kCommandQuit, quit.c_str());
    ::SetMenuDefaultItem(popup, kCommandOpen, FALSE);
    MENUINFO menuInfo{};
    menuInfo.cbSize = sizeof(menuInfo);
    menuInfo.fMask = MIM_STYLE;
    menuInfo.dwStyle = 0;
    ::SetMenuInfo(popup, &menuInfo);

    POINT point{};
    ::GetCursorPos(&point);
    if (::MonitorFromPoint(point, MONITOR_DEFAULTTONULL) == nullptr) {
        MONITORINFO monitor{};
        monitor.cbSize = sizeof(monitor);
        if (::GetMonitorInfoW(::MonitorFromPoint(point, MONITOR_DEFAULTTONEAREST), &monitor))
            point.x = std::clamp(point.x, monitor.rcWork.left, monitor.rcWork.right - 1);
    }
    ::SetForegroundWindow(m_hWnd);
    const UINT flags = TPM_RIGHTBUTTON | (m_leftToRight ? 0 : TPM_LAYOUTRTL);
    if (!trackPopupMenu(popup, flags, point))
        QK_LOG_WARNING(L"Tray menu not shown, error %lu", ::GetLastError());
    // Lets the menu close properly when the user clicks elsewhere.
    ::PostMessageW(m_hWnd, WM_NULL, 0, 0);
}

LRESULT VekTray::OnOpen(UINT, WPARAM, LPARAM, BOOL&)
{
    showMainWindow(true);
    return 0;
}

LRESULT VekTray::OnQuit(UINT, WPARAM, LPARAM, BOOL&)
{
    const std::wstring caption = LoadText(productTitleId());
    auto dialogWindow = [this]() -> HWND {
        HWND dialog = m_mainDialog ? m_mainDialog->hwnd() : nullptr;
        return dialog != nullptr && ::IsWindow(dialog) ? dialog : nullptr;
    };
    if (HWND dialog = dialogWindow())
        ::EnableWindow(dialog, FALSE);

    const int32_t state = m_engine ? m_engine->GetEngineState() : engine_state::eFatalError;
    if (!RunIsOver(state)) {
        m_quitPromptOpen = true;
        m_engine->Pause();
        const UINT type = MB_YESNO | MB_ICONQUESTION | (m_leftToRight ? 0 : MB_RTLREADING);
        if (quitPrompt(LoadText(kStringQuitQuestion), caption, type) == IDYES) {
            if (m_engine->IsRunning())
                g_ExitCode = ExitUserQuit;
            m_cleanupFlags = eCleanAll;
            if (m_mainDialog)
                m_mainDialog->destroy();
            ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
        } else {
            m_engine->Resume();
        }
        m_quitPromptOpen = false;
    } else {
        if (m_mainDialog)
            m_mainDialog->destroy();
        ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
    }

    if (HWND dialog = dialogWindow()) {
        ::EnableWindow(dialog, TRUE);
        ::SetFocus(dialog);
    }
    return 0;
}

LRESULT VekTray::OnDisableExit(UINT, WPARAM, LPARAM, BOOL&)
{
    m_exitDisabled = true;
    return 0;
}

LRESULT VekTray::OnEnableExit(UINT, WPARAM, LPARAM, BOOL&)
{
    m_exitDisabled = false;
    return 0;
}

void VekTray::showBalloon(const std::wstring& text, const std::wstring& title)
{
    NOTIFYICONDATAW data = m_notifyIconData;
    data.uFlags = NIF_INFO;
    CopyField(data.szInfo, text);
    CopyField(data.szInfoTitle, title);
    data.dwInfoFlags = kBalloonInfoFlags;
    data.uTimeout = 0;
    if (!notifyIcon(NIM_MODIFY, data))
        QK_LOG_WARNING(L"Balloon not shown");
}

void VekTray::showMainWindow(bool show)
{
    QK_LOG_INFO(L"request to show/hide main window");
    if (!mainDialogIsWindow())
        return;
    if (show) {
        if (!mainDialogVisible()) {
            QK_LOG_INFO(L"send message to display window");
            m_mainDialog->showWindow(SW_SHOWNORMAL);
            ::SetFocus(m_mainDialog->hwnd());
        }
    } else if (mainDialogVisible()) {
        QK_LOG_INFO(L"request to hide main window");
        m_mainDialog->showWindow(SW_HIDE);
    }
}

// ---- helpers and seams -----------------------------------------------------------------------

bool VekTray::mainDialogIsWindow() const
{
    HWND dialog = m_mainDialog ? m_mainDialog->hwnd() : nullptr;
    return dialog != nullptr && ::IsWindow(dialog);
}

bool VekTray::mainDialogVisible() const
{
    return mainDialogIsWindow() && ::IsWindowVisible(m_mainDialog->hwnd());
}

UINT VekTray::productTitleId() const
{
    return m_options.productTitleId ? m_options.productTitleId() : kDefaultProductTitleId;
}

bool VekTray::windows8OrLater() const
{
    return m_options.windows8OrLater ? *m_options.windows8OrLater : ::IsWindows8OrGreater();
}

std::unique_ptr<VekTrayMainDialog> VekTray::createMainDialog(HWND owner)
{
    if (!m_options.mainDialogFactory) {
        QK_LOG_ERROR(L"No main dialog to create");
        return nullptr;
    }
    return m_options.mainDialogFactory(owner);
}

BOOL VekTray::notifyIcon(DWORD message, NOTIFYICONDATAW& data)
{
    return ::Shell_NotifyIconW(message, &data);
}

BOOL VekTray::trackPopupMenu(HMENU popup, UINT flags, POINT point)
{
    return ::TrackPopupMenuEx(popup, flags, point.x, point.y, m_hWnd, nullptr);
}

int VekTray::quitPrompt(const std::wstring& text, const std::wstring& caption, UINT type)
{
    return ::MessageBoxW(m_hWnd, text.c_str(), caption.c_str(), type);
}

UINT_PTR VekTray::setTimer(UINT_PTR id, UINT milliseconds)
{
    return ::SetTimer(m_hWnd, id, milliseconds, nullptr);
}

} // namespace vek
