#include "ui/dialog/VekBaseUI.h"

#include "common/errors/qkLog.h"
#include "ui/res/VekStringIds.h"
#include "ui/controls/VekTextColours.h"
#include "engine/launcher/VekExitCode.h"
#include "engine/launcher/VekSwitches.h"
#include "engine/manifest/CManifest.h"
#include "engine/manifest/JobEngineException.h"
#include "engine/manifest/ManifestAccess.h"
#include "engine/manifest/ManifestDocument.h"
#include "engine/manifest/VekJobStates.h"
#include "engine/report/VekDataReporter.h"
#include "engine/report/VekStatusEvents.h"
#include "engine/report/VekStatusReporter.h"
#include "net/proxy/ManifestProxySettings.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekTools.h"
#include "ui/VekWindowMessages.h"
#include "ui/automation/VekUiaProvider.h"
#include "ui/dialog/VekBaseUIImpl.h"
#include "ui/VekJobEngineView.h"
#include "ui/dialog/VekDialogJobListWindow.h"
#include "ui/dialog/VekProductName.h"
#include "ui/joblist/VekJobUI.h"
#include "ui/res/VekResourceIds.h"
#include "ui/resources/CVekResourceLoader.h"
#include "ui/util/VekLayoutDirection.h"
#include "ui/util/VekWindowFitter.h"

#include <exception>
#include <new>

namespace vek {

namespace {

constexpr int kStringUiFont = 138;
constexpr int kStringMinimize = 174;
constexpr int kStringCaption = 318;

constexpr COLORREF kLinkColour = 0xAD3D00;

constexpr UINT kEventNoLock = 1618; // another installation is in progress

std::wstring ProductTitle()
{
    return LoadText(GetProductNameStringId());
}

} // namespace

// ---- construction ---------------------------------------------------------------------------

VekBaseUI::VekBaseUI(std::shared_ptr<VekDataReporter> reporter, std::shared_ptr<VekJobEngine> jobEngine, HRESULT page)
    : VekBaseUI(std::move(reporter), std::move(jobEngine), page, VekBaseUIOptions{})
{}

VekBaseUI::VekBaseUI(std::shared_ptr<VekDataReporter> reporter, std::shared_ptr<VekJobEngine> jobEngine, HRESULT page,
                     VekBaseUIOptions options)
    : VekDialogImpl(IDD_VEK_MAIN),
      m_impl(std::make_unique<Impl>()),
      m_DataReporter(std::move(reporter)),
      m_lastError(page)
{
    m_engine = options.engine ? std::move(options.engine) : VekJobEngineView::Make(jobEngine);
    m_JobListUI = options.jobList ? std::move(options.jobList) : MakeDialogJobListWindow(jobEngine, m_DataReporter);
    m_system = options.system != nullptr ? options.system : &VekDialogSystem::Default();
    if (options.commandLine)
        m_commandLine = std::move(*options.commandLine);
    else
        m_commandLine.ParseProcessCommandLine();
    m_interactiveSession = options.interactiveSession;
    m_tickCount = options.tickCount ? std::move(options.tickCount) : [] { return ::GetTickCount64(); };
    m_sleep = options.sleep ? std::move(options.sleep) : [](DWORD ms) { ::Sleep(ms); };
    if (!m_DataReporter) {
        // A dialog given no reporter reports its own errors through one made from no manifest.
        try {
            m_DataReporter = std::make_shared<VekDataReporter>(nullptr);
        } catch (const std::exception& e) {
            QK_LOG_ERROR(L"Unable to create the data reporter: %S", e.what());
        }
    }
}

VekBaseUI::~VekBaseUI()
{
    // The window goes while the controls and the job list still exist, so that its own
    // WM_DESTROY handling (queued records freed, filter removed) runs in full.
    if (m_hWnd != nullptr && ::IsWindow(m_hWnd))
        DestroyWindow();
    if (m_filterAdded && VekMessageLoop::Current() != nullptr)
        VekMessageLoop::Current()->RemoveMessageFilter(this);
    m_filterAdded = false;
}

HRESULT VekBaseUI::Create(HWND owner)
{
    m_owner = owner;
    if (VekDialogImpl::Create(owner) == nullptr) {
        const DWORD error = ::GetLastError();
        QK_LOG_ERROR(L"Unable to create the main dialog, last error %lu", error);
        return error != 0 ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }
    return S_OK;
}

void VekBaseUI::OnFinalMessage(HWND)
{
    m_owner = nullptr;
}

// ---- helpers shared with the tray window and the job windows -----------------------------

bool VekBaseUI::isCreateMsiJob(const nlohmann::json& manifest)
{
    try {
        const nlohmann::json* job = ManifestAccess::FirstJob(manifest);
        return job != nullptr && ManifestAccess::CreatesMsi(*job);
    } catch (const std::exception& e) {
        QK_LOG_ERROR(L"Unable to check job type. (%S)", e.what());
        return false;
    }
}

bool VekBaseUI::isFinishPageHidden(const nlohmann::json& manifest)
{
    return ManifestAccess::IsFinishPageHidden(manifest);
}

bool VekBaseUI::hasProxyServer(const nlohmann::json& manifest)
{
    return !ManifestProxyServer(manifest).empty();
}

bool VekBaseUI::hasProxyPassword(const nlohmann::json& manifest)
{
    return !ManifestProxyPassword(manifest).empty();
}

// ---- message map ----------------------------------------------------------------------------

BOOL VekBaseUI::ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult)
{
    BOOL handled = TRUE;
    auto run = [&](LRESULT (VekBaseUI::*handler)(UINT, WPARAM, LPARAM, BOOL&)) {
        handled = TRUE;
        lResult = (this->*handler)(uMsg, wParam, lParam, handled);
        return handled;
    };
    // An exception of any handler is caught by the dialog procedure's ladder.
    switch (uMsg) {
    case WM_COMMAND:
        if (run(&VekBaseUI::OnCommand))
            return TRUE;
        break;
    case WM_THEMECHANGED:
        m_highContrast = IsHighContrast();
        ::RedrawWindow(hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_FRAME);
        lResult = 0;
        return TRUE;
    case WM_CLOSE:
        if (m_owner != nullptr && ::IsWindow(m_owner))
            ::PostMessageW(m_owner, WM_CLOSE, 0, 0);
        DestroyWindow();
        lResult = 0;
        return TRUE;
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
        lResult = reinterpret_cast<LRESULT>(::GetStockObject(HOLLOW_BRUSH));
        return TRUE;
    case WM_DESTROY:
        ::KillTimer(hWnd, kTimerRestartCountdown);
        if (m_filterAdded && VekMessageLoop::Current() != nullptr)
            VekMessageLoop::Current()->RemoveMessageFilter(this);
        m_filterAdded = false;
        DrainJobUpdateRecords(hWnd, WM_VEK_UPDATE_JOB_INFO);
        DrainProgressRecords(hWnd, WM_VEK_JOB_PROGRESS_INFO);
        if (m_owner == nullptr)
            ::PostQuitMessage(g_ExitCode);
        lResult = 0;
        return TRUE;
    case WM_VEK_JOB_PROGRESS_INFO:
        return run(&VekBaseUI::OnJobProgress);
    case WM_VEK_UPDATE_JOB_INFO:
        return run(&VekBaseUI::OnUpdateJobInfo);
    case WM_INITDIALOG:
        return run(&VekBaseUI::OnInitDialog);
    case WM_PAINT:
        return run(&VekBaseUI::OnPaint);
    case WM_ERASEBKGND:
        lResult = 1;
        return TRUE;
    case WM_NCHITTEST: {
        const LRESULT hit = ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
        lResult = hit == HTCLIENT ? HTCAPTION : hit;
        return TRUE;
    }
    case WM_SYSCOMMAND:
        if (run(&VekBaseUI::OnSysCommand))
            return TRUE;
        break;
    case WM_SIZE:
        if (wParam == SIZE_MINIMIZED && m_owner != nullptr)
            ::ShowWindow(hWnd, SW_HIDE);
        lResult = 0;
        return TRUE;
    case WM_EXITSIZEMOVE:
        if (m_system->IsEnterKeyDown())
            m_swallowEnter = true;
        lResult = 0;
        return TRUE;
    case WM_VEK_INVALIDATE_AREA: {
        const RECT* area = reinterpret_cast<const RECT*>(wParam);
        if (area != nullptr) {
            RECT rect = *area;
            ::MapWindowPoints(nullptr, hWnd, reinterpret_cast<POINT*>(&rect), 2);
            ::InvalidateRect(hWnd, &rect, TRUE);
        }
        lResult = 1;
        return TRUE;
    }
    case WM_ENDSESSION:
        QK_LOG_INFO(L"VEK received OnEndSession request, lParam=%d", static_cast<int>(lParam));
        lResult = 1;
        return TRUE;
    case WM_GETOBJECT:
        lResult = HandleGetObject(hWnd, wParam, lParam, L"VekMainWindow", ProductTitle());
        return TRUE;
    case WM_VEK_RESTART_WINDOWS:
        restartWindows();
        lResult = 0;
        return TRUE;
    case WM_VEK_SHOW_MAIN_WINDOW:
        bringToFront(wParam == 1);
        lResult = 0;
        return TRUE;
    case WM_TIMER:
        if (run(&VekBaseUI::OnTimer))
            return TRUE;
        break;
    default:
        break;
    }
    if (uMsg == WM_COMMAND || uMsg == WM_NOTIFY || uMsg == WM_DRAWITEM || uMsg == WM_CTLCOLORBTN)
        if (ReflectNotification(uMsg, wParam, lParam, lResult))
            return TRUE;
    return FALSE;
}

bool VekBaseUI::PreTranslateMessage(MSG& message)
{
    if (m_swallowEnter && message.message == WM_KEYUP && message.wParam == VK_RETURN) {
        m_swallowEnter = false;
        return true;
    }
    if (m_hWnd == nullptr)
        return false;
    return ::IsDialogMessageW(m_hWnd, &message) != FALSE;
}

// ---- initialisation -------------------------------------------------------------------------

RECT VekBaseUI::Impl::MiddleRect(HWND dialog) const
{
    RECT client{};
    ::GetClientRect(dialog, &client);
    return RECT{scale.X(1), scale.Y(layout::kMiddleTop), client.right - scale.X(1),
                client.bottom - scale.Y(layout::kMiddleBottom)};
}

LRESULT VekBaseUI::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&)
{
    Impl& ui = *m_impl;
    const int iconX = ::GetSystemMetrics(SM_CXICON), iconY = ::GetSystemMetrics(SM_CYICON);
    const int smallX = ::GetSystemMetrics(SM_CXSMICON), smallY = ::GetSystemMetrics(SM_CYSMICON);
    HINSTANCE module = ::GetModuleHandleW(nullptr);
    HICON big =
        static_cast<HICON>(::LoadImageW(module, MAKEINTRESOURCEW(128), IMAGE_ICON, iconX, iconY, LR_DEFAULTCOLOR));
    if (big == nullptr)
        big = static_cast<HICON>(
            ::LoadImageW(module, MAKEINTRESOURCEW(IDI_VEK_LAUNCHER), IMAGE_ICON, iconX, iconY, LR_DEFAULTCOLOR));
    HICON small =
        static_cast<HICON>(::LoadImageW(module, MAKEINTRESOURCEW(128), IMAGE_ICON, smallX, smallY, LR_DEFAULTCOLOR));
    if (small == nullptr)
        small = static_cast<HICON>(
            ::LoadImageW(module, MAKEINTRESOURCEW(IDI_VEK_LAUNCHER), IMAGE_ICON, smallX, smallY, LR_DEFAULTCOLOR));
    if (big != nullptr)
        ::SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    if (small != nullptr)
        ::SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));

    // Borderless: no caption, frame, scroll bars or maximise box; the system menu and the
    // minimise box stay so that the taskbar and Alt+Space still work.
    LONG_PTR style = ::GetWindowLongPtrW(m_hWnd, GWL_STYLE);
    // The children paint no background of their own: the dialog paints under them, so it must
    // not clip them out of its own painting.
    style &= ~static_cast<LONG_PTR>(WS_BORDER | WS_DLGFRAME | WS_CAPTION | WS_HSCROLL | WS_VSCROLL | WS_THICKFRAME |
                                    WS_MAXIMIZEBOX | WS_CLIPCHILDREN);
    style |= WS_SYSMENU | WS_MINIMIZEBOX;
    ::SetWindowLongPtrW(m_hWnd, GWL_STYLE, style);

    if (IsRightToLeftLayout(LoadText(kStringLayout))) {
        m_leftToRight = false;
        ::SetWindowLongPtrW(m_hWnd, GWL_EXSTYLE, ::GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE) | WS_EX_LAYOUTRTL);
    }
    m_highContrast = IsHighContrast();

    const int dpiY = GetScreenCaps(LOGPIXELSY) > 0 ? GetScreenCaps(LOGPIXELSY) : 96;
    const std::wstring face = LoadText(kStringUiFont, L"Segoe UI");
    ui.font.Reset(::CreateFontW(-::MulDiv(9, dpiY, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH,
                                face.c_str()));
    ui.headlineFont.Reset(::CreateFontW(-::MulDiv(12, dpiY, 72), 0, 0, 0, FW_SEMIBOLD, FALSE, FALSE, FALSE,
                                        DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                                        DEFAULT_PITCH, face.c_str()));
    const VekScale& s = ui.scale;
    placeWindow(nullptr, 0, 0, s.X(layout::kWidth), s.Y(layout::kHeight), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    createControls();
    // The dialog joins the message loop after its job list and job windows have joined it: the
    // loop asks the newest filter first, and the dialog must see every key first, so that the
    // Enter that answered the exit question is swallowed here instead of also pressing the
    // focused job button. Its keyboard handling covers the job windows (control parents).
    if (VekMessageLoop::Current() != nullptr && !m_filterAdded) {
        VekMessageLoop::Current()->AddMessageFilter(this);
        m_filterAdded = true;
    }

    enableExit(!VekTools::hasCmdSwitch(m_commandLine, switches::ADMIN_INITIATED));
    decideUiMode();

    const int state = engineState();
    if (state == engine_state::eFatalError) {
        QK_LOG_INFO(L"engineState==VekJobEngine::eFatalError, loading Log upload  UI");
        showWaitAnimation(false);
        m_lastFatalState = vek::eFatalError;
        if (VekTools::hasCmdSwitch(m_commandLine, switches::SHOW_RESTART_PROMPT)) {
            showVekDialog(PageRestartCountdown);
        } else {
            switch (m_lastError) {
            case VEK_E_MANIFEST_NOT_IN_PACKAGE:
            case VEK_E_SIGNATURE_NOT_TRUSTED:
            case VEK_E_STATE_FILE_MISSING:
            case VEK_E_JSON_NOT_PARSED:
                showVekDialog(PageReDownload);
                break;
            case VEK_E_NO_CC_TOKEN:
                showVekDialog(PagePrerequisite);
                break;
            case VEK_E_NO_INSTALL_OPTIONS:
                showVekDialog(PageAttention);
                break;
            case VEK_E_NOT_ADMIN:
                showVekDialog(g_ExitCode);
                break;
            default:
                showVekDialog(PageAttention);
                break;
            }
        }
    } else if (state == engine_state::eFailover) {
        QK_LOG_INFO(L"engineState==VekJobEngine::eFailover, loading Log upload  UI");
        showWaitAnimation(false);
        m_lastFatalState = vek::eFailover;
        m_errorSeen = true;
        showVekDialog(m_lastError == VEK_E_SIGNATURE_NOT_TRUSTED ? PageReDownload : PageAttention);
    } else if (state == engine_state::eCustomLocationRequired) {
        showChangeLocation();
    } else {
        showJobUI();
    }

    if (m_hWnd != nullptr) {
        ::SetWindowTextW(m_hWnd, LoadText(kStringCaption).c_str());
        centerWindow();
    }
    return TRUE;
}

void VekBaseUI::decideUiMode()
{
    const bool interactive =
        m_interactiveSession.has_value() ? *m_interactiveSession : VekTools::isProcessInInteractiveSession();
    if (VekTools::hasCmdSwitch(m_commandLine, switches::SILENT) || !interactive) {
        QK_LOG_INFO(L"Switch to silent mode because switch specified or process not in interactive session.");
        m_silent = true;
        return;
    }
    if (VekTools::hasCmdSwitch(m_commandLine, switches::UNATTENDED)) {
        m_unattended = true;
        return;
    }
    const std::shared_ptr<ManifestDocument> manifest = m_engine ? m_engine->GetManifest() : nullptr;
    if (!manifest)
        return;
    VekManifestView view(*manifest);
    m_silent = view.manifest.isSilentUIMode();
    m_unattended = view.manifest.isUnattendedUIMode();
}

void VekBaseUI::createControls()
{
    Impl& ui = *m_impl;
    const VekScale& s = ui.scale;
    HFONT font = ui.font.Get();
    RECT client{};
    ::GetClientRect(m_hWnd, &client);
    const int right = client.right, bottom = client.bottom;

    ui.caption.Create(m_hWnd, kIdCaption, kStringCaption, RECT{s.X(15), s.Y(13), right - s.X(76), -1}, font, kTextGrey,
                      true);
    CreateImageButton(m_hWnd, ui.closeButton, kIdCloseButton, right - s.X(43), s.Y(14), s.X(15), s.Y(15), kStringClose,
                      L"Close", IDR_PNG_CLOSE, IDR_PNG_CLOSE_PUSHED, IDR_PNG_CLOSE_HOVER, IDR_PNG_CLOSE_DISABLED);
    CreateImageButton(m_hWnd, ui.minimizeButton, kIdMinimizeButton, right - s.X(76), s.Y(18), s.X(19), s.Y(6),
                      kStringMinimize, L"Minimize", IDR_PNG_MINIMIZE, IDR_PNG_MINIMIZE_PUSHED, IDR_PNG_MINIMIZE_HOVER);

    // The wait animation runs centred under the status line.
    const int barWidth = s.X(300);
    const int barLeft = (right - barWidth) / 2;
    ui.waitAnimation.Create(m_hWnd, RECT{barLeft, s.Y(250), barLeft + barWidth, s.Y(258)}, 0, WS_CHILD);
    ui.banner.Create(m_hWnd, IDR_PNG_BANNER, s.X(1), s.Y(59), true, s);
    ui.logo.Create(m_hWnd, IDR_PNG_LOGO, s.X(25), s.Y(154), true, s);

    const int textLeft = s.X(layout::kTextLeft), textRight = right - s.X(layout::kTextRight);
    ui.headline.Create(m_hWnd, kIdHeadline, static_cast<int>(GetProductNameStringId()),
                       RECT{textLeft, s.Y(154), textRight, s.Y(184)}, ui.headlineFont.Get(), kTextGrey, true);
    ui.body.Create(m_hWnd, kIdBody, kStringInitializing, RECT{textLeft, s.Y(190), textRight, s.Y(240)}, font, kTextGrey,
                   true);
    ui.greenLine.Create(m_hWnd, kIdGreenLine, -1, RECT{textLeft, s.Y(244), textRight, s.Y(264)}, font, kTextGreen, false);
    ui.greenLine.SetFormat(DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
    ui.secondLine.Create(m_hWnd, kIdSecondLine, -1, RECT{textLeft, s.Y(268), textRight, s.Y(318)}, font, kTextGrey, false);

    const RECT linkRect{textLeft, s.Y(322), textRight, s.Y(342)};
    ui.linkLeft.Create(m_hWnd, linkRect, L"", L"", kIdLinkLeft, VekHyperLink::kUnderlineHover);
    ui.linkRight.Create(m_hWnd, linkRect, L"", L"", kIdLinkRight, VekHyperLink::kUnderlineHover);
    ui.linkPackage.Create(m_hWnd, linkRect, L"", L"", kIdLinkPackage, VekHyperLink::kUnderlineHover);
    for (VekHyperLink* link : {&ui.linkLeft, &ui.linkRight, &ui.linkPackage}) {
        link->SetLinkFont(font);
        link->SetLinkColour(kLinkColour);
        link->ShowWindow(SW_HIDE);
    }

    ui.warningSign.Create(m_hWnd, IDR_PNG_WARNING, textLeft, s.Y(350), false, s);
    ui.secondBody.Create(m_hWnd, kIdSecondBody, -1, RECT{textLeft + s.X(30), s.Y(350), textRight, s.Y(400)}, font,
                         kTextGrey, false);
    ui.pageIcon.Create(m_hWnd, IDR_PNG_ALERT, s.X(25), s.Y(154), false, s);
    ui.footer.Create(m_hWnd, IDR_PNG_FOOTER, 0, bottom - s.Y(50), true, s);
    CreateImageButton(m_hWnd, ui.footerClose, kIdFooterClose, right - s.X(140), bottom - s.Y(40), s.X(120), s.Y(30), -1,
                      nullptr, IDR_PNG_BUTTON, IDR_PNG_BUTTON_PUSHED, IDR_PNG_BUTTON_HOVER, IDR_PNG_BUTTON_DISABLED);
    ui.footerClose.SetWindowText(LoadText(kStringClose, L"Close").c_str());
    ui.footerClose.SetFont(font);
    ui.footerText.Create(m_hWnd, kIdFooterText, -1, RECT{s.X(20), bottom - s.Y(36), right - s.X(150), -1}, font, kTextGrey,
                         false);
    for (auto [button, id] : {std::pair{&ui.action1, kIdAction1}, std::pair{&ui.action2, kIdAction2}}) {
        CreateImageButton(m_hWnd, *button, id, 0, bottom - s.Y(layout::kButtonBottom + layout::kButtonHeight),
                          s.X(layout::kMinButtonWidth), s.Y(layout::kButtonHeight), -1, nullptr, IDR_PNG_BUTTON,
                          IDR_PNG_BUTTON_PUSHED, IDR_PNG_BUTTON_HOVER, IDR_PNG_BUTTON_DISABLED);
        button->SetFont(font);
        button->ShowWindow(SW_HIDE);
    }

    // The pictures lie under everything else: they never paint over a sibling above them, and
    // the buttons and links stand on top.
    for (CStaticImage* image : {&ui.banner, &ui.footer, &ui.logo, &ui.pageIcon, &ui.warningSign}) {
        ::SetWindowLongPtrW(*image, GWL_STYLE, ::GetWindowLongPtrW(*image, GWL_STYLE) | WS_CLIPSIBLINGS);
        ::SetWindowPos(*image, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
    if (m_JobListUI) {
        const RECT middle = ui.MiddleRect(m_hWnd);
        if (m_JobListUI->Create(m_hWnd, middle) == nullptr)
            QK_LOG_ERROR(L"Unable to create the job list window");
        else
            ::ShowWindow(m_JobListUI->hwnd(), SW_HIDE);
    }
}

// ---- positioning ------------------------------------------------------------------------------

void VekBaseUI::placeWindow(HWND after, int x, int y, int width, int height, UINT flags)
{
    ::SetWindowPos(m_hWnd, after, x, y, width, height, flags);
    VekWindowFitter fitter;
    if (SUCCEEDED(fitter.Attach(m_hWnd))) {
        SIZE size{};
        fitter.Fit(size, VekWindowFitter::kUseWorkArea | VekWindowFitter::kResize);
    }
}

void VekBaseUI::centerWindow()
{
    RECT window{}, area{};
    ::GetWindowRect(m_hWnd, &window);
    if (!::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0))
        return;
    const int width = window.right - window.left, height = window.bottom - window.top;
    const int x = area.left + ((area.right - area.left) - width) / 2;
    const int y = area.top + ((area.bottom - area.top) - height) / 2;
    placeWindow(nullptr, x < area.left ? area.left : x, y < area.top ? area.top : y, 0, 0,
                SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void VekBaseUI::showWindow(int showCommand)
{
    if (showCommand == SW_HIDE && m_confirmingExit)
        return;
    if (showCommand == SW_SHOWNORMAL)
        ::SetForegroundWindow(m_hWnd);
    ::ShowWindow(m_hWnd, showCommand);
}

void VekBaseUI::bringToFront(bool topmost)
{
    placeWindow(topmost ? HWND_TOPMOST : HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    ::ShowWindow(m_hWnd, SW_SHOWNORMAL);
    ::SetFocus(m_hWnd);
}

void VekBaseUI::forceForeground()
{
    HWND foreground = ::GetForegroundWindow();
    const DWORD own = ::GetCurrentThreadId();
    const DWORD other = foreground != nullptr ? ::GetWindowThreadProcessId(foreground, nullptr) : own;
    const bool attach = other != own && other != 0;
    if (attach)
        ::AttachThreadInput(own, other, TRUE);
    ::SetForegroundWindow(m_hWnd);
    ::SetFocus(m_hWnd);
    placeWindow(HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    placeWindow(HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    if (attach)
        ::AttachThreadInput(own, other, FALSE);
}

void VekBaseUI::enableExit(bool enable)
{
    if (m_impl->closeButton.IsWindow())
        ::EnableWindow(m_impl->closeButton, enable);
    if (HMENU menu = ::GetSystemMenu(m_hWnd, FALSE))
        ::EnableMenuItem(menu, SC_CLOSE, MF_BYCOMMAND | (enable ? MF_ENABLED : MF_GRAYED));
    if (m_owner != nullptr && ::IsWindow(m_owner))
        ::PostMessageW(m_owner, enable ? WM_VEK_ENABLE_EXIT : WM_VEK_DISABLE_EXIT, 0, 0);
}

void VekBaseUI::showWaitAnimation(bool show)
{
    Impl& ui = *m_impl;
    if (show) {
        setMiddleTextsVisible(true);
        ui.waitAnimation.ShowWindow(SW_SHOW);
        ui.waitAnimation.Start();
    } else {
        ui.waitAnimation.Stop();
        ui.waitAnimation.ShowWindow(SW_HIDE);
    }
    setJobListVisible(!show);
}

void VekBaseUI::setJobListVisible(bool visible)
{
    if (!m_JobListUI || m_JobListUI->hwnd() == nullptr)
        return;
    if (visible) {
        setMiddleTextsVisible(false);
        const RECT middle = m_impl->MiddleRect(m_hWnd);
        ::SetWindowPos(m_JobListUI->hwnd(), HWND_TOP, middle.left, middle.top, middle.right - middle.left,
                       middle.bottom - middle.top, SWP_SHOWWINDOW | SWP_NOACTIVATE);
    } else {
        ::ShowWindow(m_JobListUI->hwnd(), SW_HIDE);
    }
}

bool VekBaseUI::isJobListVisible() const
{
    return m_JobListUI && m_JobListUI->hwnd() != nullptr && ::IsWindowVisible(m_JobListUI->hwnd());
}

// The texts and images of the middle give way to the job list while it shows.
void VekBaseUI::setMiddleTextsVisible(bool visible)
{
    Impl& ui = *m_impl;
    const int command = visible ? SW_SHOW : SW_HIDE;
    ui.headline.ShowWindow(command);
    ui.body.ShowWindow(command);
    if (!visible) {
        for (VekWindow* control :
             std::initializer_list<VekWindow*>{&ui.logo, &ui.pageIcon, &ui.greenLine, &ui.secondLine, &ui.secondBody,
                                               &ui.warningSign, &ui.linkLeft, &ui.linkRight, &ui.linkPackage})
            control->ShowWindow(SW_HIDE);
    }
}

// ---- painting -------------------------------------------------------------------------------

LRESULT VekBaseUI::OnPaint(UINT, WPARAM, LPARAM, BOOL&)
{
    VekPaintDC paint(m_hWnd);
    RECT client{};
    ::GetClientRect(m_hWnd, &client);
    const int width = client.right, height = client.bottom;
    if (width <= 0 || height <= 0)
        return 0;
    VekMemoryDC memory(paint.Get());
    VekBitmap bitmap(::CreateCompatibleBitmap(paint.Get(), width, height));
    if (memory.Get() == nullptr || !bitmap)
        return 0;
    VekSelectObject selected(memory.Get(), bitmap.Get());
    ::SetLayout(memory.Get(), 0);
    const COLORREF fill = m_highContrast ? RGB(0, 0, 0) : RGB(255, 255, 255);
    const COLORREF frame = m_highContrast ? 0xC9C9CD : 0xE2E2E2;
    VekBrush fillBrush(::CreateSolidBrush(fill));
    VekBrush frameBrush(::CreateSolidBrush(frame));
    ::FillRect(memory.Get(), &client, fillBrush.Get());
    ::FrameRect(memory.Get(), &client, frameBrush.Get());
    ::BitBlt(paint.Get(), 0, 0, width, height, memory.Get(), 0, 0, SRCCOPY);
    return 0;
}

// ---- commands -------------------------------------------------------------------------------

LRESULT VekBaseUI::OnCommand(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& handled)
{
    switch (LOWORD(wParam)) {
    case kIdAction1:
        return OnAction1(uMsg, wParam, lParam, handled);
    case kIdAction2:
        return OnAction2(uMsg, wParam, lParam, handled);
    case IDCANCEL:
        return OnSysCommand(WM_SYSCOMMAND, SC_CLOSE, 0, handled);
    case kIdMinimizeButton:
        ::PostMessageW(m_hWnd, WM_SYSCOMMAND, SC_MINIMIZE, 0);
        return 0;
    case kIdCloseButton:
    case kIdFooterClose:
        ::PostMessageW(m_hWnd, WM_SYSCOMMAND, SC_CLOSE, 0);
        return 0;
    default:
        handled = FALSE;
        return 0;
    }
}

LRESULT VekBaseUI::OnSysCommand(UINT, WPARAM wParam, LPARAM lParam, BOOL& handled)
{
    const UINT command = static_cast<UINT>(wParam & 0xFFF0);
    if (command == SC_MINIMIZE) {
        ::ShowWindow(m_hWnd, m_owner != nullptr ? SW_HIDE : SW_MINIMIZE);
        return 0;
    }
    if (command != SC_CLOSE) {
        handled = FALSE;
        return 0;
    }
    if (m_closing)
        return 0;
    try {
        const int state = engineState();
        QK_LOG_INFO(L"engineState=%d", state);
        const bool restartPrompt = VekTools::hasCmdSwitch(m_commandLine, switches::SHOW_RESTART_PROMPT);
        if ((state == engine_state::eFatalError && !restartPrompt) || m_fatalSeen || m_errorSeen ||
            state == engine_state::eJobsDone || state == engine_state::eCleanedUp ||
            lParam == kJobUiCloseCancelled) {
            stopEngine(false);
            ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
            return 0;
        }
        if (lParam == kJobUiCloseCountdownEnd)
            stopAndClose();
        if (VekTools::hasCmdSwitch(m_commandLine, switches::ADMIN_INITIATED) || m_confirmingExit)
            return 0;

        m_confirmingExit = true;
        const bool wasPaused = m_engine && m_engine->IsPaused();
        if (m_engine)
            m_engine->Pause();
        UINT type = MB_YESNO | MB_ICONQUESTION;
        if (!m_leftToRight)
            type |= MB_RTLREADING;
        const int answer = m_system->ShowMessageBox(m_hWnd, LoadText(kStringQuitQuestion), ProductTitle(), type);
        QK_LOG_INFO(L"Result of exit confirmation %d", answer);
        if (answer == IDYES) {
            g_ExitCode = ExitUserQuit;
            stopAndClose();
        } else if (m_engine && !wasPaused) {
            m_engine->Resume();
        }
        if (m_system->IsEnterKeyDown())
            m_swallowEnter = true;
        m_confirmingExit = false;
        return 0;
    } catch (const std::exception& e) {
        m_confirmingExit = false;
        if (m_DataReporter)
            m_DataReporter->logError(E_FAIL, true, L"OnSysCommand");
        else
            QK_LOG_ERROR(L"m_DataReporter is NULL");
        QK_LOG_ERROR(L"Exception in the close request: %S", e.what());
        handled = FALSE;
        return 0;
    }
}

int VekBaseUI::engineState()
{
    if (!m_engine)
        return engine_state::eFatalError;
    try {
        return m_engine->GetEngineState();
    } catch (const std::exception& e) {
        QK_LOG_ERROR(L"Unable to read the engine state: %S", e.what());
        return engine_state::eFatalError;
    }
}

void VekBaseUI::stopEngine(bool wait)
{
    if (!m_engine)
        return;
    try {
        m_engine->Stop(wait);
    } catch (const JobEngineException& e) {
        QK_LOG_ERROR(L"Unable to stop JobEngine with boost failure 0x%08X", static_cast<unsigned>(e.GetCode()));
    }
}

// ---- job updates ----------------------------------------------------------------------------

LRESULT VekBaseUI::OnJobProgress(UINT uMsg, WPARAM wParam, LPARAM, BOOL&)
{
    std::unique_ptr<VekProgressRecord> record = TakeProgressRecord(wParam);
    if (!m_JobListUI) {
        QK_LOG_ERROR(L"m_JobListUI.get() is NULL");
        return 0;
    }
    m_JobListUI->OnJobProgress(uMsg, std::move(record));
    return 0;
}

void VekBaseUI::forward(UINT message, const VekJobUpdateRecord& record)
{
    if (!m_JobListUI) {
        QK_LOG_ERROR(L"m_JobListUI.get() is NULL");
        return;
    }
    m_JobListUI->OnUpdateJobInfo(message, record);
}

void VekBaseUI::showList()
{
    showWaitAnimation(false);
}

void VekBaseUI::keepDeferred(const nlohmann::json& job, int event, UINT message)
{
    m_jobCopy = job;
    m_deferredEvent = event;
    m_deferredMessage = message;
}

LRESULT VekBaseUI::OnUpdateJobInfo(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL&)
{
    std::unique_ptr<VekJobUpdateRecord> record = TakeJobUpdateRecord(wParam);
    if (!record)
        return 0;
    const int event = static_cast<int>(lParam);
    QK_LOG_INFO(L"LPARAM - %d", event);
    const nlohmann::json& job = record->job;
    auto jobErrorCode = [&job](HRESULT& code) { return ManifestAccess::JobErrorCode(job, code); };
    auto asTwentyTwo = [&] {
        if (m_closing)
            return;
        showList();
        forward(uMsg, *record);
    };

    switch (event) {
    case vek::eJobInstallStopped:
    case vek::eJobPluginFailure:
    case vek::eJobInstallFailed:
    case vek::eFatalError: {
        m_lastFatalState = event;
        m_fatalSeen = true;
        jobErrorCode(m_lastError);
        showWaitAnimation(false);
        forward(uMsg, *record);
        setJobListVisible(false);
        if (event == vek::eJobInstallFailed && m_lastError != static_cast<HRESULT>(kEventNoLock) &&
            isEndpointManifest()) {
            try {
                m_engine->CleanUp(eCleanRegistry);
            } catch (const std::exception& e) {
                QK_LOG_ERROR(L"Clean-up failed: %S", e.what());
            }
        }
        if (!m_prerequisitePageShown)
            showVekDialog(m_jobSucceeded && !m_retrying ? PageAttentionAfterSuccess : PageAttention);
        break;
    }
    case vek::eJobInstallErrorRetryDownload:
    case vek::eJobValidationFailed:
    case vek::eJobDiskFull:
        // Hiding the animation shows the job list: the panel stays in view while the engine
        // ends, and after a retry that is not kept for the engine's end.
        showWaitAnimation(false);
        if (m_silent && (event == vek::eJobValidationFailed || event == vek::eJobDiskFull)) {
            g_ExitCode = ExitSilentJobResult;
            stopJobAndDisableStartAfterReboot();
            stopAndClose();
        }
        if (m_engine && (m_engine->GetDownloadRetryCount() < 2 || event == vek::eJobInstallErrorRetryDownload)) {
            m_retrying = true;
            keepDeferred(job, event, uMsg);
            LogStatusEventF(DOWNLOAD_FAILED, L"EventState: %d, Error message: %d", event, static_cast<int>(uMsg));
        }
        break;
    case vek::eJobPreProcess:
        m_jobCopy = nlohmann::json();
        m_deferredEvent = 0;
        m_deferredMessage = 0;
        forward(uMsg, *record);
        break;
    case vek::eJobDownloadStart: {
        nlohmann::json manifest;
        if (const auto document = manifestDocument())
            manifest = document->Snapshot();
        LogStatusEventF(DOWNLOAD_STARTED, L"Download through proxy: %s; proxy is password protected: %s",
                        hasProxyServer(manifest) ? L"true" : L"false", hasProxyPassword(manifest) ? L"true" : L"false");
        m_downloadStart = m_tickCount();
        asTwentyTwo();
        break;
    }
    case vek::eJobDownloadFinish: {
        std::wstring duration = L"0 sec";
        if (m_downloadStart != 0)
            formatDuration(static_cast<long long>((m_tickCount() - m_downloadStart) / 1000), duration);
        LogStatusEventF(DOWNLOAD_FINISHED, L"Download time: %s", duration.c_str());
        forward(uMsg, *record);
        break;
    }
    case vek::eJobPluginEvent4:
    case vek::eJobPluginEvent15:
        m_jobSucceeded = true;
        asTwentyTwo();
        break;
    case vek::eJobInstallIncomplete:
    case vek::eJobInstallPending:
        g_ExitCode = event == vek::eJobInstallIncomplete ? ExitJobEvent7 : ExitJobEvent36;
        if (event == vek::eJobInstallPending)
            stopJobAndDisableStartAfterReboot();
        if (m_silent && !VekTools::hasCmdSwitch(m_commandLine, switches::SMART_RESTART) && !m_restartUpgradeShown) {
            QK_LOG_INFO(L"VEK executed in silent mode, do not display pre/post reboot required dialog");
            stopAndClose();
            break;
        }
        bringToFront(false);
        asTwentyTwo();
        break;
    case vek::eJobInstallStart:
    case vek::eJobRebootRequired:
        asTwentyTwo();
        break;
    case vek::eJobInstallCancelled:
    case vek::eJobInstallPluginStopped:
    case vek::eJobInstallUACCancelled:
        keepDeferred(job, event, uMsg);
        g_ExitCode = ExitPrerequisites;
        if (m_silent) {
            QK_LOG_INFO(L"VEK executed in silent mode, do not display other error dialog");
            stopAndClose();
        }
        break;
    case vek::eJobInstallFinished:
        m_installerFinished = true;
        LogStatusEvent(INSTALLER_FINISHED);
        forward(uMsg, *record);
        break;
    case vek::eEngineStart:
        m_retrying = false;
        m_jobSucceeded = false;
        forward(uMsg, *record);
        break;
    case vek::eEngineJobsDone:
        if (m_closing)
            break;
        showWaitAnimation(false);
        if (isCreateMsiJob(job)) {
            showVekDialog(PagePackageCreated);
        } else if (m_installerFinished) {
            if (g_ExitCode == ExitNormal) {
                QK_LOG_INFO(L"Force VEK to be closed in case of success");
                m_closing = true;
            } else {
                QK_LOG_INFO(L"Let leave VEK opened to show final message");
            }
        }
        break;
    case vek::eEngineEnd:
        if (m_closing) {
            stopEngine(true);
            ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
        } else if (m_deferredEvent != 0) {
            forceForeground();
            showList();
            VekJobUpdateRecord deferred;
            deferred.job = m_jobCopy;
            deferred.event = m_deferredEvent;
            if (m_JobListUI)
                m_JobListUI->OnUpdateJobInfo(m_deferredMessage, deferred);
            else
                QK_LOG_ERROR(L"m_JobListUI.get() is NULL");
        }
        forward(uMsg, *record);
        break;
    case vek::eFailover: {
        m_lastFatalState = vek::eFailover;
        m_errorSeen = true;
        showWaitAnimation(false);
        if (!m_retrying)
            jobErrorCode(m_lastError);
        int page = PageAttention;
        if (m_lastError == VEK_E_DOWNLOAD_FAILED) {
            nlohmann::json manifest;
            if (const auto document = manifestDocument())
                manifest = document->Snapshot();
            LogStatusEvent(hasProxyServer(manifest) ? DOWNLOAD_FAILED_PROXY_ISSUE : DOWNLOAD_FAILED);
        } else if (m_lastError == VEK_E_BACKEND_CHECK) {
            LogStatusEvent(BACKEND_CHECK_FAILED);
            page = PageBackendNotReachable;
        }
        setJobListVisible(false);
        showVekDialog(page);
        break;
    }
    case vek::eJobPluginError:
    case vek::eJobPluginEvent38:
        if (event == vek::eJobPluginEvent38 && isEndpointManifest()) {
            QK_LOG_INFO(L"QOR re-enrollment failed, download QOR and run installer");
            if (const auto document = manifestDocument()) {
                CManifest accessor(*document);
                accessor.init();
                accessor.fallbackFromReEnrollment();
            }
            if (m_engine->IsRunning())
                stopEngine(true);
            m_engine->Start();
            break;
        }
        showVekDialog(PageAlreadyInstalled);
        break;
    case vek::eJobPluginEvent37:
        showVekDialog(PageReEnrollmentInitiated);
        break;
    case vek::eJobPluginEvent39:
    case vek::eJobShowRestartAndUpgradeMessage:
        bringToFront(false);
        forceForeground();
        m_restartUpgradeShown = true;
        showList();
        forward(uMsg, *record);
        break;
    case vek::eJobPluginEvent41:
        setJobListVisible(false);
        m_prerequisitePageShown = true;
        showVekDialog(PagePrerequisite);
        break;
    case vek::eJobPluginEvent43:
        QK_LOG_INFO(L"Unable to continue QOR upgrade because automatic upgrade disabled");
        if (m_engine)
            m_engine->ResetRebootCount();
        g_ExitCode = ExitAutomaticUpgradeDisabled;
        stopAndClose();
        break;
    default:
        forward(uMsg, *record);
        break;
    }
    return 0;
}

std::shared_ptr<ManifestDocument> VekBaseUI::manifestDocument()
{
    return m_engine ? m_engine->GetManifest() : nullptr;
}

bool VekBaseUI::isEndpointManifest()
{
    const auto document = manifestDocument();
    if (!document)
        return false;
    VekManifestView view(*document);
    return view.manifest.isQorProduct();
}

} // namespace vek
