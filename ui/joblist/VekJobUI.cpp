#include "ui/joblist/VekJobUI.h"

#include "common/base/qkWideFormat.h"
#include "ui/joblist/VekJobUIResources.h"
#include "ui/controls/VekTextColours.h"
#include "common/errors/qkLog.h"
#include "ui/joblist/VekJobUIEngine.h"
#include "engine/launcher/VekExitCode.h"
#include "engine/launcher/VekSwitches.h"
#include "engine/manifest/ManifestAccess.h"
#include "engine/manifest/ManifestJson.h"
#include "engine/manifest/VekJobStates.h"
#include "engine/report/VekDataReporter.h"
#include "engine/report/VekStatusReporter.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekJobKeys.h"
#include "ui/automation/VekUiaProvider.h"
#include "ui/dialog/VekBaseUIControlIds.h"
#include "ui/joblist/VekJobUISystem.h"
#include "ui/resources/CVekResourceLoader.h"
#include "ui/util/VekMessageText.h"
#include "ui/util/VekPageAddress.h"
#include "ui/util/VekReshowInterval.h"
#include "ui/util/VekScreen.h"

#include <commctrl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>
#include <new>

namespace vek {

using namespace jobui;

namespace {

const wchar_t kJobWindowClass[] = L"VEK_JobWindow";
const wchar_t kJobWindowAutomationName[] = L"VekJobWindow";


std::wstring FormatWithText(int stringId, const std::wstring& value)
{
    const DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(value.c_str())};
    return FormatInserts(LoadText(stringId), arguments);
}

// "%d" and "%%" of a printf-style string-table text, replaced without printf, so that a
// translated text with other conversions can never read arguments that are not there.
std::wstring FormatPercent(const std::wstring& pattern, unsigned long long percent)
{
    std::wstring text;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == L'%' && i + 1 < pattern.size()) {
            if (pattern[i + 1] == L'd') {
                text += std::to_wstring(percent);
                ++i;
                continue;
            }
            if (pattern[i + 1] == L'%') {
                text += L'%';
                ++i;
                continue;
            }
        }
        text += pattern[i];
    }
    return text;
}

} // namespace

VekJobUI::VekJobUI(std::shared_ptr<VekJobUIEngine> jobEngine, VekDataReporter* reporter, size_t jobIndex)
    : m_jobEngine(std::move(jobEngine)), m_jobIndex(jobIndex), m_reporter(reporter),
      m_system(VekJobUISystem::Default())
{
}

VekJobUI::~VekJobUI()
{
    if (IsWindow())
        DestroyWindow();
}

void VekJobUI::SetSystem(std::shared_ptr<VekJobUISystem> system)
{
    m_system = system ? std::move(system) : VekJobUISystem::Default();
}

void VekJobUI::SetManifest(std::shared_ptr<const nlohmann::json> manifest)
{
    m_manifest = std::move(manifest);
}

HWND VekJobUI::Create(HWND parent, const RECT& rect)
{
    if (!RegisterWindowClass(kJobWindowClass, 0, nullptr, ::LoadCursorW(nullptr, IDC_ARROW))) {
        QK_LOG_ERROR(L"RegisterClass() failed, error = %u", ::GetLastError());
        return nullptr;
    }
    // No WS_CLIPCHILDREN: the background is painted under the transparent children.
    return VekWindowImpl::Create(kJobWindowClass, parent, rect, L"", WS_CHILD | WS_VISIBLE, WS_EX_CONTROLPARENT);
}

// ---- texts ---------------------------------------------------------------------------------

std::wstring VekJobUI::FormatNumber(const std::wstring& number)
{
    try {
        const int length = ::GetNumberFormatW(LOCALE_USER_DEFAULT, 0, number.c_str(), nullptr, nullptr, 0);
        if (length > 0) {
            std::wstring text(static_cast<size_t>(length), L'\0');
            if (::GetNumberFormatW(LOCALE_USER_DEFAULT, 0, number.c_str(), nullptr, text.data(), length) > 0) {
                text.resize(static_cast<size_t>(length - 1));
                return text;
            }
        }
        QK_LOG_ERROR(L"GetNumberFormat() failed, error = 0x%08X", HRESULT_FROM_WIN32(::GetLastError()));
    } catch (...) {
        QK_LOG_ERROR(L" Exception is caught");
    }
    return number;
}

std::wstring VekJobUI::FormatSize(unsigned long long bytes)
{
    struct Unit {
        unsigned long long below;
        unsigned long long divisor;
        int stringId;
    };
    static const Unit units[] = {
        {1024ULL, 1ULL, kStrBytes},
        {1048576ULL, 1024ULL, kStrKilobytes},
        {1073741824ULL, 1048576ULL, kStrMegabytes},
        {1099511627776ULL, 1073741824ULL, kStrGigabytes},
    };
    for (const Unit& unit : units) {
        if (bytes >= unit.below)
            continue;
        wchar_t number[64] = {};
        qkLib::FormatWide(number, 64, L"%.2f", static_cast<double>(bytes) / static_cast<double>(unit.divisor));
        return FormatWithText(unit.stringId, FormatNumber(number));
    }
    return {};
}

std::wstring VekJobUI::FormatDuration(long long seconds)
{
    return DurationText(seconds);
}

ULONGLONG VekJobUI::BringToFrontInterval(ULONGLONG remainingSeconds)
{
    return ReshowIntervalMilliseconds(remainingSeconds);
}

std::wstring VekJobUI::RestartInSessionsCommandLine(const std::wstring& launcherPath, uint32_t smartRestartMinutes,
                                                    bool hardReboot, bool adminInitiated)
{
    // The path is quoted: a blank in it would otherwise let the system start another program.
    std::wstring commandLine = L"\"" + launcherPath + L"\"";
    commandLine += L" /";
    commandLine += switches::SHOW_RESTART_PROMPT;
    commandLine += L" ";
    commandLine += std::to_wstring(smartRestartMinutes);
    if (hardReboot) {
        commandLine += L" /";
        commandLine += switches::HARD_REBOOT;
    }
    if (adminInitiated) {
        commandLine += L" /";
        commandLine += switches::ADMIN_INITIATED;
    }
    return commandLine;
}

bool VekJobUI::deleteFilesForJob(const nlohmann::json& jobNode)
{
    const nlohmann::json* files = ManifestAccess::Files(jobNode);
    if (files == nullptr || !files->is_array())
        return true;
    bool all = true;
    for (const auto& file : *files) {
        const std::wstring path = ManifestAccess::DestinationFile(file);
        if (path.empty())
            continue;
        if (!::DeleteFileW(path.c_str())) {
            QK_LOG_ERROR(L"Failed to delete file %s", path.c_str());
            all = false;
        }
    }
    return all;
}

bool VekJobUI::SetContinueUpgradeEvent()
{
    HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, kContinueUpgradeEvent);
    if (event == nullptr) {
        QK_LOG_INFO(L"No one waits for the upgrade confirmation, error = %u", ::GetLastError());
        return false;
    }
    const BOOL set = ::SetEvent(event);
    ::CloseHandle(event);
    return set != FALSE;
}

// ---- accessors -----------------------------------------------------------------------------

std::wstring VekJobUI::GetControlText(UINT controlId) const
{
    std::wstring text;
    switch (controlId) {
    case kJobUiTitleText:
        m_title.GetText(text);
        return text;
    case kJobUiStatusText:
        m_status.GetText(text);
        return text;
    case kJobUiProgressText:
        m_progress.GetText(text);
        return text;
    case kJobUiDescriptionText:
        m_description.GetText(text);
        return text;
    case kJobUiSecondLineText:
        m_secondLine.GetText(text);
        return text;
    default:
        break;
    }
    HWND control = ::GetDlgItem(m_hWnd, static_cast<int>(controlId));
    if (control == nullptr)
        return {};
    const int length = ::GetWindowTextLengthW(control);
    text.assign(static_cast<size_t>(length) + 1, L'\0');
    const int copied = ::GetWindowTextW(control, text.data(), length + 1);
    text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
    return text;
}

bool VekJobUI::IsControlShown(UINT controlId) const
{
    HWND control = ::GetDlgItem(m_hWnd, static_cast<int>(controlId));
    return control != nullptr && (::GetWindowLongPtrW(control, GWL_STYLE) & WS_VISIBLE) != 0;
}

bool VekJobUI::IsBarShown() const
{
    return m_bar.IsWindow() && (m_bar.GetStyle() & WS_VISIBLE) != 0;
}

bool VekJobUI::IsBarAnimating() const
{
    return m_bar.IsAnimating();
}

// ---- helpers -------------------------------------------------------------------------------

int VekJobUI::Scale(int designPixels, bool horizontal) const
{
    static const VekScale scale;
    return horizontal ? scale.X(designPixels) : scale.Y(designPixels);
}

HWND VekJobUI::MainDialog() const
{
    HWND list = ::GetParent(m_hWnd);
    return list != nullptr ? ::GetParent(list) : nullptr;
}

std::wstring VekJobUI::ProductTitle() const
{
    return LoadText(static_cast<int>(m_system->ProductNameStringId()));
}

size_t VekJobUI::JobCount() const
{
    try {
        if (m_jobEngine) {
            const int count = m_jobEngine->GetJobCount();
            return count > 0 ? static_cast<size_t>(count) : 0;
        }
    } catch (const std::exception& e) {
        QK_LOG_ERROR(L"Exception is caught: %hs", e.what());
    }
    return 0;
}

bool VekJobUI::HasSwitch(const wchar_t* name) const
{
    return m_system->HasSwitch(name);
}

void VekJobUI::SetText(CTransparentStatic& control, int stringId)
{
    SetText(control, LoadText(stringId));
}

void VekJobUI::SetText(CTransparentStatic& control, const std::wstring& text)
{
    if (!control.IsWindow())
        return;
    std::wstring current;
    control.GetText(current);
    if (current != text) {
        control.SetText(-1, text, true);
        LayoutTexts();
    }
}

void VekJobUI::ShowControl(HWND control, bool show)
{
    if (control != nullptr && ::IsWindow(control)) {
        const bool shown = (::GetWindowLongPtrW(control, GWL_STYLE) & WS_VISIBLE) != 0;
        if (shown != show) {
            ::ShowWindow(control, show ? SW_SHOW : SW_HIDE);
            // The parent's background shows through: let it repaint the area.
            VekWindow(control).InvalidateAreaInParent(0);
            LayoutTexts();
        }
    }
}

void VekJobUI::LayoutTexts()
{
    if (!m_title.IsWindow())
        return;
    const RECT title = m_title.GetWindowRectInParent();
    int top = std::max<int>(Scale(80, false), title.bottom + Scale(8, false));
    bool moved = false;
    for (CTransparentStatic* text : {&m_status, &m_secondLine, &m_progress, &m_description}) {
        if (!text->IsWindow() || (text->GetStyle() & WS_VISIBLE) == 0)
            continue;
        const RECT rect = text->GetWindowRectInParent();
        if (rect.top != top) {
            ::SetWindowPos(*text, nullptr, rect.left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
            moved = true;
        }
        top += (rect.bottom - rect.top) + Scale(4, false);
    }
    if (top - Scale(4, false) > m_textBottom)
        QK_LOG_WARNING(L"The panel's texts reach the bar row (%d > %d)", top, m_textBottom);
    if (moved) {
        // The texts are transparent: the panel repaints what lay under their old and new places.
        ::InvalidateRect(m_hWnd, nullptr, TRUE);
        InvalidateAreaInParent(0);
    }
}

void VekJobUI::ShowBar(bool show)
{
    ShowControl(m_bar, show);
    ShowControl(m_barPlaceholder, !show);
    if (show)
        m_bar.Start();
}

void VekJobUI::SetButtonCaption(VekGDIPlusButton& button, int stringId, int rightEdge)
{
    if (!button.IsWindow())
        return;
    button.SetCaptionAndResize(LoadText(stringId));
    RECT rect{};
    ::GetWindowRect(button, &rect);
    ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&rect), 2);
    const int width = rect.right - rect.left;
    ::SetWindowPos(button, nullptr, rightEdge - width, rect.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    button.Invalidate();
}

void VekJobUI::PlaceLeftOf(VekGDIPlusButton& button, const VekGDIPlusButton& anchor)
{
    if (!button.IsWindow() || !anchor.IsWindow())
        return;
    RECT anchorRect{};
    ::GetWindowRect(anchor, &anchorRect);
    ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&anchorRect), 2);
    RECT rect{};
    ::GetWindowRect(button, &rect);
    const int width = rect.right - rect.left;
    ::SetWindowPos(button, nullptr, anchorRect.left - Scale(10, true) - width, anchorRect.top, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool VekJobUI::StartTimer(UINT_PTR id, UINT milliseconds)
{
    if (::SetTimer(m_hWnd, id, milliseconds, nullptr) == 0) {
        QK_LOG_ERROR(L"SetTimer %d failed, 0x%08X", static_cast<int>(id), HRESULT_FROM_WIN32(::GetLastError()));
        return false;
    }
    return true;
}

void VekJobUI::KillJobTimer(UINT_PTR id)
{
    ::KillTimer(m_hWnd, id);
}

void VekJobUI::ResetSpeedRing()
{
    m_speedSamples.fill(-1);
    m_nextSample = 0;
}

void VekJobUI::ReportEvent(int event)
{
    if (m_reporter == nullptr)
        return;
    try {
        m_reporter->postEventWithData(event, m_jobNode, true);
    } catch (const std::exception& e) {
        QK_LOG_ERROR(L"Exception is caught: %hs", e.what());
    }
}

void VekJobUI::SetExitCode(int code)
{
    g_ExitCode = code;
}

void VekJobUI::StopEngineAndWait()
{
    if (m_jobEngine)
        m_jobEngine->Stop(true);
}

// ---- creation and painting -----------------------------------------------------------------

LRESULT VekJobUI::OnCreate(UINT, WPARAM, LPARAM, BOOL&)
{
    m_leftToRight = (GetExStyle() & WS_EX_LAYOUTRTL) == 0;
    m_highContrast = IsHighContrast();
    {
        VekWindowDC windowDc(m_hWnd);
        HDC dc = windowDc.Get();
        CreateFontSet(dc, m_fonts);
        LOGFONTW link{};
        link.lfHeight = -::MulDiv(9, ::GetDeviceCaps(dc, LOGPIXELSY), 72);
        link.lfWeight = FW_NORMAL;
        link.lfUnderline = TRUE;
        link.lfCharSet = DEFAULT_CHARSET;
        link.lfQuality = CLEARTYPE_QUALITY;
        wcscpy_s(link.lfFaceName, L"Segoe UI");
        m_linkFont.Reset(::CreateFontIndirectW(&link));
    }
    RECT client{};
    ::GetClientRect(m_hWnd, &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    const int margin = Scale(24, true);
    const int textLeft = margin;
    const int textRight = width - margin;

    const VekScale scale;
    m_statusImage.Create(m_hWnd, kPngStatus, margin, Scale(16, false), true, scale);
    m_alertImage.Create(m_hWnd, kPngAlert, margin, Scale(16, false), false, scale);
    // The footer band: the main dialog draws its own right under the job list, so the panel's
    // stays hidden (two bands one over the other would show as one doubled band).
    m_furtherImage.Create(m_hWnd, kPngFurther, 0, height - Scale(44, false), false, scale);

    m_title.Create(m_hWnd, kJobUiTitleText, -1, RECT{margin + Scale(60, true), Scale(26, false), textRight, -1},
                   m_fonts.title.Get(), kTextGrey, true);
    SetText(m_title, ProductTitle());
    m_status.Create(m_hWnd, kJobUiStatusText, kStringInitializing, RECT{textLeft, Scale(80, false), textRight, -1},
                    m_fonts.text.Get(), kTextGrey, true);
    m_secondLine.Create(m_hWnd, kJobUiSecondLineText, -1, RECT{textLeft, Scale(102, false), textRight, -1},
                        m_fonts.text.Get(), kTextGrey, true);
    m_progress.Create(m_hWnd, kJobUiProgressText, -1, RECT{textLeft, Scale(124, false), textRight, -1},
                      m_fonts.boldText.Get(), kTextGreen, true);
    m_description.Create(m_hWnd, kJobUiDescriptionText, -1, RECT{textLeft, Scale(148, false), textRight, -1},
                         m_fonts.text.Get(), kTextGrey, false);

    // From the bottom up: the button row on the panel's lower edge, the bar row above it. The
    // placeholder takes the bar's row when the bar is hidden: the picture at the row's height,
    // in its own proportions, at the right end, where its pattern is.
    m_buttonsRight = width - margin;
    const int buttonHeight = Scale(32, false);
    const int buttonTop = height - Scale(12, false) - buttonHeight;
    const int buttonWidth = Scale(120, true);
    const int rowTop = buttonTop - Scale(14 + 32, false);
    const int rowHeight = Scale(32, false);
    const int barTop = rowTop + (rowHeight - Scale(8, false)) / 2;
    const RECT barRect{textLeft, barTop, textRight, barTop + Scale(8, false)};
    m_bar.Create(m_hWnd, barRect);
    if (m_barPlaceholder.Create(m_hWnd, kPngBarPlaceholder, 0, rowTop, false, scale) != nullptr) {
        const RECT picture = m_barPlaceholder.GetWindowRectInParent();
        const int pictureHeight = picture.bottom - picture.top;
        const int pictureWidth =
            pictureHeight > 0 ? ::MulDiv(picture.right - picture.left, rowHeight, pictureHeight) : 0;
        const int placeholderWidth = std::min(pictureWidth, textRight - textLeft);
        ::SetWindowPos(m_barPlaceholder, nullptr, textRight - placeholderWidth, rowTop, placeholderWidth, rowHeight,
                       SWP_NOZORDER | SWP_NOACTIVATE);
    }
    m_textBottom = rowTop - Scale(6, false);
    struct ButtonRow {
        VekGDIPlusButton* button;
        UINT id;
    };
    const ButtonRow buttons[] = {
        {&m_actionButton, kJobUiActionButton},
        {&m_pauseButton, kJobUiPauseButton},
        {&m_restartNowButton, kJobUiRestartNowButton},
        {&m_cancelInstallButton, kJobUiCancelInstallButton},
        {&m_cancelCountdownButton, kJobUiCancelCountdownButton},
    };
    for (const ButtonRow& row : buttons) {
        CreateImageButton(m_hWnd, *row.button, row.id, m_buttonsRight - buttonWidth, buttonTop, buttonWidth,
                          buttonHeight, -1, nullptr, kPngButton, kPngButtonPushed, kPngButtonHover,
                          kPngButtonDisabled);
        if (row.button->IsWindow()) {
            row.button->SetFont(m_fonts.text.Get());
            row.button->ShowWindow(SW_HIDE);
        }
    }
    SetButtonCaption(m_pauseButton, kStrPauseDownload, m_buttonsRight);
    const RECT linkRect{textLeft, 0, textLeft + Scale(120, true), Scale(20, false)};
    m_clickHereLink.Create(m_hWnd, linkRect, LoadText(kStrClickHere), L"", kJobUiClickHereLink,
                           VekHyperLink::kCommandButton, WS_CHILD | WS_TABSTOP);
    m_activationLink.Create(m_hWnd, linkRect, LoadText(kStrClickHere), L"", kJobUiActivationLink,
                            VekHyperLink::kCommandButton, WS_CHILD | WS_TABSTOP);
    m_clickHereLink.SetLinkFont(m_linkFont.Get());
    m_activationLink.SetLinkFont(m_linkFont.Get());

    ShowBar(true);

    const bool fatal = m_jobEngine && m_jobEngine->GetEngineState() == engine_state::eFatalError;
    if (fatal) {
        ShowControl(m_statusImage, false);
        m_alertImage.SetImage(kPngAlert);
        SetText(m_status, kStrFatalError);
        // The action button would carry the same text as the status: it closes the window.
        SetButtonCaption(m_actionButton, kStrFatalError, m_buttonsRight);
    } else {
        ShowControl(m_alertImage, false);
        ShowControl(m_statusImage, true);
    }
    ShowControl(m_pauseButton, !HasSwitch(switches::ADMIN_INITIATED));

    if (VekMessageLoop* loop = VekMessageLoop::Current()) {
        loop->AddMessageFilter(this);
        m_filtering = true;
    }
    return 0;
}

LRESULT VekJobUI::OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled)
{
    KillJobTimer(kTimerRemainingTime);
    KillJobTimer(kTimerUpgradeCountdown);
    KillJobTimer(kTimerRestartCountdown);
    // Records still queued for this window are freed here.
    DrainJobUpdateRecords(m_hWnd, WM_VEK_UPDATE_JOB_INFO);
    DrainProgressRecords(m_hWnd, WM_VEK_JOB_PROGRESS_INFO);
    if (m_filtering) {
        if (VekMessageLoop* loop = VekMessageLoop::Current())
            loop->RemoveMessageFilter(this);
        m_filtering = false;
    }
    handled = FALSE;
    return 0;
}

bool VekJobUI::PreTranslateMessage(MSG& message)
{
    if (!IsWindow() || (GetStyle() & WS_VISIBLE) == 0 || !::IsChild(m_hWnd, message.hwnd))
        return false;
    return ::IsDialogMessageW(m_hWnd, &message) != FALSE;
}

LRESULT VekJobUI::OnPaint(UINT, WPARAM, LPARAM, BOOL&)
{
    VekPaintDC paint(m_hWnd);
    RECT client{};
    ::GetClientRect(m_hWnd, &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    // Drawn off screen and copied in one step, so the panel does not flicker.
    VekMemoryDC memory(paint.Get());
    VekBitmap bitmap(memory.Get() ? ::CreateCompatibleBitmap(paint.Get(), width, height) : nullptr);
    const bool offScreen = memory.Get() != nullptr && bitmap;
    VekSelectObject selected(memory.Get(), offScreen ? bitmap.Get() : nullptr);
    HDC dc = offScreen ? memory.Get() : paint.Get();
    if (!m_leftToRight && offScreen)
        ::SetLayout(dc, 0);
    ::FillRect(dc, &client, static_cast<HBRUSH>(::GetStockObject(m_highContrast ? BLACK_BRUSH : WHITE_BRUSH)));
    if (!m_finishDescription.empty()) {
        VekSelectObject font(dc, m_fonts.text.Get());
        ::SetBkMode(dc, TRANSPARENT);
        ::SetTextColor(dc, m_highContrast ? RGB(255, 255, 255) : RGB(0, 0, 0));
        RECT text = m_finishRect;
        ::DrawTextW(dc, m_finishDescription.c_str(), -1, &text, DT_WORDBREAK | DT_NOPREFIX);
    }
    if (offScreen)
        ::BitBlt(paint.Get(), 0, 0, width, height, dc, 0, 0, SRCCOPY);
    return 0;
}

LRESULT VekJobUI::OnCtlColor(UINT, WPARAM wParam, LPARAM, BOOL&)
{
    ::SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
    return reinterpret_cast<LRESULT>(::GetStockObject(NULL_BRUSH));
}

LRESULT VekJobUI::OnThemeChanged(UINT, WPARAM, LPARAM, BOOL&)
{
    m_highContrast = IsHighContrast();
    RECT rect{};
    ::GetWindowRect(m_hWnd, &rect);
    ::SendMessageW(GetParent(), WM_VEK_INVALIDATE_AREA, reinterpret_cast<WPARAM>(&rect), 0);
    return 0;
}

LRESULT VekJobUI::OnInvalidateArea(UINT message, WPARAM wParam, LPARAM lParam, BOOL&)
{
    // This window paints the background its transparent children show through: repaint the
    // area here (children included), and let the parents know as well.
    if (const auto* screen = reinterpret_cast<const RECT*>(wParam)) {
        RECT area = *screen;
        ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&area), 2);
        ::RedrawWindow(m_hWnd, &area, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
    }
    ::SendMessageW(GetParent(), message, wParam, lParam);
    return 1;
}

LRESULT VekJobUI::OnGetObject(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    return HandleGetObject(m_hWnd, wParam, lParam, kJobWindowAutomationName, kJobWindowAutomationName);
}

LRESULT VekJobUI::OnClose(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    ::PostMessageW(GetParent(), WM_CLOSE, wParam, lParam);
    return 0;
}

LRESULT VekJobUI::OnLButtonDown(UINT, WPARAM, LPARAM lParam, BOOL&)
{
    if (HWND dialog = MainDialog())
        ::SendMessageW(dialog, WM_NCLBUTTONDOWN, HTCAPTION, lParam);
    return 0;
}

LRESULT VekJobUI::OnNotify(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled)
{
    const auto* header = reinterpret_cast<const NMHDR*>(lParam);
    if (header != nullptr && header->idFrom == kJobUiPauseButton && header->code == NM_CLICK) {
        OnPauseButton();
        return 0;
    }
    LRESULT result = 0;
    if (ReflectNotification(message, wParam, lParam, result))
        return result;
    handled = FALSE;
    return 0;
}

// ---- progress ------------------------------------------------------------------------------

LRESULT VekJobUI::OnJobProgress(UINT, WPARAM wParam, LPARAM, BOOL&)
{
    std::unique_ptr<VekProgressRecord> record = TakeProgressRecord(wParam);
    if (!record)
        return 0;
    if (record->total == std::numeric_limits<unsigned long long>::max()) {
        // Size unknown: the animation says that work goes on.
        ShowBar(true);
        return 0;
    }
    if (m_totalBytes == 0 && record->total != 0)
        m_totalBytes = record->total;
    m_previousBytesDone = m_bytesDone;
    m_bytesDone = record->done;
    record.reset();

    if (m_firstProgressPending) {
        m_firstProgressPending = false;
        if (::SetTimer(m_hWnd, kTimerRemainingTime, 500, nullptr) == 0)
            QK_LOG_ERROR(L"SetTimer() failed, hr=0x%08X", HRESULT_FROM_WIN32(::GetLastError()));
        m_firstProgressTick = m_system->TickCount();
        ShowBar(true);
    }
    if (m_totalBytes == 0 || m_bytesDone <= m_previousBytesDone)
        return 0;
    const auto percent = static_cast<unsigned long long>(
        std::floor(static_cast<long double>(m_bytesDone) * 100.0L / static_cast<long double>(m_totalBytes)));
    SetText(m_progress, FormatPercent(LoadText(kStrDownloadedPercent), percent));
    ShowControl(m_progress, true);
    return 0;
}

void VekJobUI::OnRemainingTimeTimer()
{
    const ULONGLONG now = m_system->TickCount();
    ULONGLONG elapsed = now > m_firstProgressTick ? now - m_firstProgressTick : 0;
    if (elapsed == 0)
        elapsed = 1;
    const unsigned long long sample = m_bytesDone / elapsed;
    m_speedSamples[m_nextSample] =
        static_cast<int32_t>(sample > static_cast<unsigned long long>(std::numeric_limits<int32_t>::max())
                                 ? std::numeric_limits<int32_t>::max()
                                 : sample);
    m_nextSample = (m_nextSample + 1) % m_speedSamples.size();

    long long sum = 0;
    long long count = 0;
    for (int32_t value : m_speedSamples) {
        if (value >= 0) {
            sum += value;
            ++count;
        }
    }
    const long long speed = count > 0 ? sum / count : 0;
    long long remainingMs = 0;
    if (speed >= 1 && m_totalBytes != 0 && m_totalBytes > m_bytesDone)
        remainingMs = static_cast<long long>((m_totalBytes - m_bytesDone) / static_cast<unsigned long long>(speed));

    std::wstring text;
    if (remainingMs > 0) {
        const std::wstring done = FormatSize(m_bytesDone);
        const std::wstring total = FormatSize(m_totalBytes);
        const std::wstring remaining = FormatDuration(remainingMs / 1000);
        const DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(done.c_str()),
                                       reinterpret_cast<DWORD_PTR>(total.c_str()),
                                       reinterpret_cast<DWORD_PTR>(remaining.c_str())};
        text = FormatInserts(LoadText(kStrSizeOfSizeRemaining), arguments);
    } else {
        text = LoadText(kStrCalculating);
    }
    SetText(m_status, text);
}

LRESULT VekJobUI::OnTimer(UINT, WPARAM wParam, LPARAM, BOOL& handled)
{
    switch (wParam) {
    case kTimerRemainingTime:
        OnRemainingTimeTimer();
        return 0;
    case kTimerUpgradeCountdown:
        OnUpgradeTimer();
        return 0;
    case kTimerRestartCountdown:
        OnRestartTimer();
        return 0;
    default:
        break;
    }
    handled = FALSE;
    return 0;
}

// ---- job events ----------------------------------------------------------------------------

LRESULT VekJobUI::OnUpdateJobInfo(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    std::unique_ptr<VekJobUpdateRecord> record = TakeJobUpdateRecord(wParam);
    const int32_t event = record ? record->event : static_cast<int32_t>(lParam);
    if (record) {
        // Events 9 to 11 carry the whole document, not this job's node.
        if (event == eEngineStart || event == eEngineJobsDone || event == eEngineEnd)
            m_manifest = std::make_shared<const nlohmann::json>(std::move(record->job));
        else
            m_jobNode = std::move(record->job);
    }
    HandleEvent(event);
    return 0;
}

void VekJobUI::HandleEvent(int32_t event)
{
    const bool adminInitiated = HasSwitch(switches::ADMIN_INITIATED);
    switch (event) {
    case eJobPreProcess:
        ResetSpeedRing();
        SetText(m_status, kStringInitializing);
        m_installError = m_downloadError = m_diskFull = false;
        m_downloadStarts = 0;
        break;
    case eJobDownloadStart:
        if (!m_jobEngine)
            break;
        if (m_downloadStarts >= 1) {
            // A new attempt after a download problem: the normal image again.
            ShowControl(m_alertImage, false);
            ShowControl(m_statusImage, true);
        }
        ++m_downloadStarts;
        m_panelState = kPanelWorking;
        SetButtonCaption(m_pauseButton, kStrPauseDownload, m_buttonsRight);
        SetText(m_status, kStrDownloading);
        ShowControl(m_status, true);
        m_firstProgressPending = true;
        StartTimer(kTimerRemainingTime, 1000);
        ShowControl(m_pauseButton, !adminInitiated);
        break;
    case eJobDownloadFinish:
        ShowControl(m_pauseButton, false);
        ShowControl(m_actionButton, false);
        KillJobTimer(kTimerRemainingTime);
        SetText(m_status, std::wstring());
        ShowControl(m_progress, false);
        ShowControl(m_status, true);
        break;
    case eJobPluginEvent4:
    case eJobPluginEvent15:
    case eJobInstallStart: {
        ShowControl(m_pauseButton, false);
        ShowBar(true);
        int text = kStrInstalling;
        if (FirstJobCreatesMsi())
            text = kStrPreparingPackage;
        else if (HasSwitch(switches::UNINSTALL))
            text = kStrUninstalling;
        SetText(m_status, text);
        ShowControl(m_status, true);
        SetText(m_title, ProductTitle());
        break;
    }
    case eJobInstallCancelled:
    case eJobInstallPluginStopped:
    case eJobInstallUACCancelled:
        ShowInstallErrorPanel();
        break;
    case eJobInstallFinished:
    case eJobPluginEvent16:
        ShowBar(false);
        break;
    case eJobInstallIncomplete:
    case eJobRebootRequired:
    case eJobInstallPending:
        RestartDecision(event);
        break;
    case eEngineJobsDone:
        m_panelState = kPanelFinished;
        ShowBar(false);
        m_bar.Stop();
        ShowControl(m_status, false);
        if (m_finishKind != 0)
            PaintFinishDescription();
        break;
    case eJobDownloadStageStart:
        if (!m_jobEngine)
            break;
        ShowControl(m_pauseButton, false);
        if (m_downloadStarts >= 1) {
            ShowControl(m_status, false);
            ShowControl(m_progress, false);
            KillJobTimer(kTimerRemainingTime);
            ShowControl(m_statusImage, false);
            m_alertImage.SetImage(kPngAlert);
            SetText(m_status, kStrDownloadProblem);
            SetText(m_secondLine, kStrTryDifferentMethod);
            ShowControl(m_secondLine, true);
            ShowBar(true);
        }
        break;
    case eJobValidationStart:
        if (!m_jobEngine)
            break;
        KillJobTimer(kTimerRemainingTime);
        ShowBar(true);
        SetText(m_status, kStrValidating);
        ShowControl(m_status, true);
        ShowControl(m_pauseButton, false);
        break;
    case eJobDownloadEvent6:
        ShowControl(m_pauseButton, !adminInitiated);
        break;
    case eJobRekeyStatus0:
    case eJobRekeyStatus1:
    case eJobRekeyStatus2:
        m_finishKind = event - eJobRekeyStatus0 + 1;
        break;
    case eJobArchiveStart:
        ShowControl(m_pauseButton, false);
        ShowBar(true);
        SetText(m_status, kStrArchiving);
        ShowControl(m_status, true);
        break;
    case eJobArchiveFinished:
        ShowBar(false);
        break;
    case eJobPluginEvent39:
        ShowUpgradeCountdown();
        break;
    case eJobPluginEvent40:
        if (m_jobEngine)
            m_jobEngine->ResetRebootCount();
        m_upgradeFailed = true;
        break;
    case eJobShowRestartAndUpgradeMessage:
        QK_LOG_INFO(L"eJobShowRestartAndUpgradeMessage received");
        ShowRestartAndUpgradeCountdown();
        break;
    case eJobInstallStopped:
    case eJobPluginFailure:
    case eJobInstallFailed:
        m_panelState = kPanelFinished;
        m_bar.Stop();
        break;
    case eJobInstallErrorRetryDownload:
    case eJobValidationFailed:
    case eJobDiskFull:
        ShowRetryPanel(event);
        break;
    default:
        break;
    }
}

bool VekJobUI::FirstJobCreatesMsi() const
{
    const nlohmann::json* job = m_manifest != nullptr ? ManifestAccess::FirstJob(*m_manifest) : nullptr;
    return job != nullptr && ManifestAccess::CreatesMsi(*job);
}

std::wstring VekJobUI::GlobalText(const char* key) const
{
    return m_manifest != nullptr
               ? ManifestJson::WideText(ManifestJson::Path(m_manifest.get(), {"vek", "global", key}), key)
               : std::wstring();
}

void VekJobUI::ShowRetryPanel(int32_t event)
{
    m_retryDownloadPending = true;
    m_panelState = kPanelDownloadError;
    ShowBar(false);
    int message = kStrFilesError;
    if (event == eJobValidationFailed) {
        m_downloadError = true;
        KillJobTimer(kTimerRemainingTime);
    } else if (event == eJobDiskFull) {
        message = kStrDiskFull;
        m_diskFull = true;
        KillJobTimer(kTimerRemainingTime);
    } else {
        message = kStrInstallErrorRetry;
        m_panelState = kPanelInstallError;
        m_installError = true;
    }
    SetText(m_status, message);
    ShowControl(m_status, true);
    ShowControl(m_progress, false);
    ShowControl(m_pauseButton, false);
    SetButtonCaption(m_actionButton, kStrRetry, m_buttonsRight);
    ShowControl(m_actionButton, true);
    SetButtonCaption(m_cancelInstallButton,
                     m_panelState == kPanelInstallError ? kStrCancelInstall : kStrCancelDownload, m_buttonsRight);
    PlaceLeftOf(m_cancelInstallButton, m_actionButton);
    ShowControl(m_cancelInstallButton, true);
    ::SetFocus(m_actionButton);
}

void VekJobUI::ShowInstallErrorPanel()
{
    m_panelState = kPanelInstallError;
    m_installError = true;
    SetText(m_title, ProductTitle());
    ShowBar(false);
    if (m_upgradeFailed) {
        SetText(m_title, kStrUpgradeFailedTitle);
        SetText(m_status, kStrUpgradeFailed);
        SetText(m_description, kStrUpgradeFailedRetry);
        ShowControl(m_description, true);
    } else {
        SetText(m_status, kStrClickRetry);
        SetText(m_description, std::wstring());
        ShowControl(m_description, false);
        ShowControl(m_cancelCountdownButton, false);
    }
    ShowControl(m_status, true);
    ShowControl(m_progress, false);
    ShowControl(m_pauseButton, false);
    SetButtonCaption(m_actionButton, kStrRetry, m_buttonsRight);
    ShowControl(m_actionButton, true);
    SetButtonCaption(m_cancelInstallButton, kStrCancelInstall, m_buttonsRight);
    PlaceLeftOf(m_cancelInstallButton, m_actionButton);
    ShowControl(m_cancelInstallButton, true);
    ::SetFocus(m_actionButton);
    if (HWND dialog = MainDialog())
        ::PostMessageW(dialog, WM_VEK_SHOW_MAIN_WINDOW, 0, 0);
}

// ---- commands ------------------------------------------------------------------------------

LRESULT VekJobUI::OnCommand(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled)
{
    switch (LOWORD(wParam)) {
    case kJobUiPauseButton:
        OnPauseButton();
        return 0;
    case kJobUiOpenDownloadFolder:
        if (m_jobEngine) {
            const std::wstring folder = m_jobEngine->GetDownloadFolder();
            if (!m_system->Open(folder))
                QK_LOG_ERROR(L"Failed to open the download folder %s", folder.c_str());
        }
        return 0;
    case kJobUiActionButton:
        OnAction();
        return 0;
    case kJobUiRestartNowButton:
        RestartNow(0);
        return 0;
    case kJobUiCancelInstallButton:
        // With several jobs the run is cancelled the same way: a cancel button that did
        // nothing would leave the user no way out but the window's close box.
        QK_LOG_INFO(L"Installation canceled by user.");
        ::PostMessageW(m_hWnd, WM_CLOSE, 0, kJobUiCloseCancelled);
        return 0;
    case kJobUiClickHereLink:
        OnClickHere();
        return 0;
    case kJobUiActivationLink:
        OnActivationClick();
        return 0;
    case kJobUiCancelCountdownButton:
        if (m_panelState == kPanelUpgradeCountdown || m_panelState == kPanelRestartCountdown ||
            m_panelState == kPanelRestartAndUpgradeCountdown)
            ::PostMessageW(GetParent(), WM_SYSCOMMAND, SC_CLOSE, 0);
        return 0;
    default:
        break;
    }
    // Notifications of the children that are not commands of this window go back to them.
    LRESULT result = 0;
    if (ReflectNotification(message, wParam, lParam, result))
        return result;
    handled = FALSE;
    return 0;
}

void VekJobUI::OnPauseButton()
{
    switch (m_panelState) {
    case kPanelFinished:
        ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
        break;
    case kPanelWorking:
        if ((m_pauseButton.GetStyle() & WS_VISIBLE) == 0)
            break;
        KillJobTimer(kTimerRemainingTime);
        if (m_jobEngine)
            m_jobEngine->Pause();
        SetButtonCaption(m_pauseButton, kStrResumeDownload, m_buttonsRight);
        if (HWND dialog = MainDialog())
            if (HWND focus = ::GetDlgItem(dialog, kIdFooterText))
                ::SetFocus(focus);
        SetText(m_status, std::wstring());
        m_panelState = kPanelPaused;
        m_bar.Stop();
        break;
    case kPanelPaused:
    case kPanelInstallError:
    case kPanelDownloadError: {
        const int32_t state = m_panelState;
        SetButtonCaption(m_pauseButton, kStrPauseDownload, m_buttonsRight);
        SetText(m_status, kStrResuming);
        if (state == kPanelPaused) {
            if (HWND dialog = MainDialog())
                if (HWND focus = ::GetDlgItem(dialog, kIdFooterText))
                    ::SetFocus(focus);
            if (m_jobEngine)
                m_jobEngine->Resume();
        } else if (m_jobEngine) {
            m_jobEngine->Start();
        }
        m_bar.Start();
        m_panelState = kPanelWorking;
        break;
    }
    case kPanelUpgradeCountdown:
        if (HasSwitch(switches::DISABLE_AUTOMATIC_UPGRADE) && m_jobEngine)
            m_jobEngine->createRunTask(std::wstring(L"/") + switches::UPGRADE_CONFIRMED);
        ContinueUpgrade();
        break;
    default:
        break;
    }
}

void VekJobUI::OnAction()
{
    QK_LOG_INFO(L"Action button clicked");
    switch (m_panelState) {
    case kPanelInstallError:
    case kPanelDownloadError:
        Retry();
        break;
    case kPanelFinished:
        QK_LOG_INFO(L"Closing");
        KillJobTimer(kTimerRemainingTime);
        KillJobTimer(kTimerUpgradeCountdown);
        KillJobTimer(kTimerRestartCountdown);
        ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
        break;
    case kPanelRestartCountdown:
        RestartNow(0);
        break;
    case kPanelRestartPrompt:
        if (HWND dialog = MainDialog())
            ::PostMessageW(dialog, WM_SYSCOMMAND, SC_MINIMIZE, 0);
        break;
    case kPanelRestartAndUpgradeCountdown:
        RestartAndUpgrade();
        break;
    default:
        break;
    }
}

void VekJobUI::Retry()
{
    QK_LOG_INFO(L"Reset error code becuase re-try or re-download");
    SetExitCode(ExitNormal);
    ShowControl(m_cancelInstallButton, false);
    if (m_retryDownloadPending) {
        try {
            if (m_jobEngine)
                m_jobEngine->setRetryDownloadDone();
        } catch (const std::exception& e) {
            QK_LOG_ERROR(L"m_JobEngine->SetRetryAttempted() failed: %hs", e.what());
        }
        m_retryDownloadPending = false;
    }
    auto removeValue = [&](const char* key) {
        if (m_jobNode.is_object())
            m_jobNode.erase(key);
        if (m_jobEngine)
            m_jobEngine->RemoveJobValue(m_jobIndex, key);
    };
    if (m_installError) {
        QK_LOG_INFO(L"Retrying after a failed install");
        deleteFilesForJob(m_jobNode);
        ReportEvent(eJobRetryInstall);
    } else if (m_downloadError) {
        removeValue(jobkeys::kJobErrorCode);
        removeValue(jobkeys::kDownloadDuration);
        ReportEvent(eJobRetryDownload);
    } else if (m_diskFull) {
        removeValue(jobkeys::kJobErrorCode);
        ReportEvent(eJobRetryDiskFull);
    }
    ResetSpeedRing();
    if (JobCount() > 1)
        ShowWindow(SW_HIDE);
    if (m_jobEngine)
        m_jobEngine->Start();
    SetText(m_status, std::wstring());
    ShowControl(m_actionButton, false);
    ShowBar(true);
    m_panelState = kPanelWorking;
}

// ---- links ---------------------------------------------------------------------------------

void VekJobUI::OpenPage(int defaultStringId, const char* manifestKey)
{
    if (!m_jobEngine)
        return;
    if (!m_jobNode.is_object() || m_jobNode.empty())
        return;
    if (ManifestAccess::JobType(m_jobNode) == L"download") {
        const std::wstring folder = m_jobEngine->GetDownloadFolder();
        if (!m_system->Open(folder))
            QK_LOG_ERROR(L"Failed to open the download folder %s", folder.c_str());
        return;
    }
    std::wstring address = GlobalText(manifestKey);
    if (address.empty())
        address = LoadText(defaultStringId);
    address = AddPageLanguageParameters(address);
    QK_LOG_INFO(L"Launching browser with %s", address.c_str());
    if (!m_system->Open(address))
        QK_LOG_ERROR(L"LaunchDefaultBrowser() failed, 0x%08X", HRESULT_FROM_WIN32(::GetLastError()));
}

void VekJobUI::OnClickHere()
{
    OpenPage(kStrSupportPage, "finish_page_url");
}

void VekJobUI::OnActivationClick()
{
    OpenPage(kStrActivationPage, "finish_page_activation_url");
}

void VekJobUI::PaintFinishDescription()
{
    const std::wstring product = ManifestAccess::JobDescription(m_jobNode);
    m_finishDescription = FormatWithText(m_finishKind == 1 ? kStrActivated : kStrToActivate, product);

    RECT status{};
    ::GetWindowRect(m_status, &status);
    ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&status), 2);
    m_finishRect = RECT{status.left, status.top, status.left + Scale(450, true), status.top + Scale(200, false)};
    {
        VekWindowDC dc(m_hWnd);
        VekSelectObject font(dc.Get(), m_fonts.text.Get());
        RECT measured = m_finishRect;
        ::DrawTextW(dc.Get(), m_finishDescription.c_str(), -1, &measured, DT_WORDBREAK | DT_NOPREFIX | DT_CALCRECT);
        m_finishRect.bottom = measured.bottom;
    }
    if (m_finishKind == 2 || m_finishKind == 3) {
        RECT link{};
        ::GetWindowRect(m_activationLink, &link);
        ::SetWindowPos(m_activationLink, nullptr, m_finishRect.left, m_finishRect.bottom + Scale(2, false), 0, 0,
                       SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        ShowControl(m_activationLink, true);
    }
    ::InvalidateRect(m_hWnd, nullptr, TRUE);
}

} // namespace vek
