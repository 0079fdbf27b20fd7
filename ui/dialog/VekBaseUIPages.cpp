// The main dialog's end pages: which page a number shows, what it shows, and the silent and
// unattended rules that suppress pages while the exit code still follows the page number.
#include "common/base/qkWideFormat.h"
#include "ui/res/VekStringIds.h"
#include "common/errors/qkLog.h"
#include "engine/launcher/VekExitCode.h"
#include "engine/launcher/VekSwitches.h"
#include "engine/manifest/CManifest.h"
#include "engine/manifest/ManifestAccess.h"
#include "engine/manifest/ManifestDocument.h"
#include "engine/manifest/VekJobStates.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekTools.h"
#include "services/launcher/VekJobKeys.h"
#include "ui/dialog/VekBaseUIImpl.h"
#include "ui/dialog/VekProductName.h"
#include "ui/res/VekResourceIds.h"
#include "ui/resources/CVekResourceLoader.h"

#include <cstdio>
#include <filesystem>
#include <new>

namespace vek {

namespace {

// Puts the arguments in place of the pattern's "%s" markers, in order; a marker without an
// argument stays as it is. The result grows as needed, so no job value can overflow it.
std::wstring FillMarkers(const std::wstring& pattern, std::initializer_list<std::wstring> arguments)
{
    std::wstring text;
    text.reserve(pattern.size() + 64);
    auto next = arguments.begin();
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == L'%' && i + 1 < pattern.size() && pattern[i + 1] == L's' && next != arguments.end()) {
            text += *next++;
            ++i;
        } else {
            text += pattern[i];
        }
    }
    return text;
}

// Text that a string table carries with escaped line breaks ("\n" as two characters).
std::wstring WithLineBreaks(std::wstring text)
{
    for (size_t at = text.find(L"\\n"); at != std::wstring::npos; at = text.find(L"\\n", at + 1))
        text.replace(at, 2, L"\n");
    return text;
}

std::wstring CodeText(long long code)
{
    wchar_t buffer[32];
    const uint32_t value = static_cast<uint32_t>(code);
    if (value < 16000u)
        qkLib::FormatWide(buffer, 32, L"%d", static_cast<int>(value));
    else
        qkLib::FormatWide(buffer, 32, L"0x%08X", value);
    return buffer;
}

} // namespace

// ---- the page entry -------------------------------------------------------------------------

void VekBaseUI::showVekDialog(int page)
{
    QK_LOG_INFO(L"Display VEK dialog with id %d", page);
    g_ExitCode = page;

    if (m_silent) {
        if (page == PageAttentionAfterSuccess && m_lastFatalState == vek::eJobInstallFailed) {
            nlohmann::json job;
            if (m_engine && m_engine->GetJob(0, job)) {
                int failed = 0;
                const bool install = !VekTools::hasCmdSwitch(m_commandLine, switches::UNINSTALL);
                if (!getComponentResultText(job, install, failed).empty())
                    applyPartialFailureCode(failed);
            }
        }
        QK_LOG_INFO(L"VEK executed in silent mode or do not have access to desktop, suppress any dialogs");
        stopJobAndDisableStartAfterReboot();
        stopAndClose();
        return;
    }
    if (m_unattended && (page == PagePackageCreated || page == PageReEnrollmentInitiated)) {
        QK_LOG_INFO(L"VEK executed in unattended mode, suppress success dialogs");
        stopJobAndDisableStartAfterReboot();
        stopAndClose();
        return;
    }

    bringToFront(false);
    enableExit(true);
    switch (page) {
    case PageAttention:
    case PageAttentionAfterSuccess:
        showAttentionMessage();
        break;
    case PageAlreadyInstalled:
        showAlreadyInstalledMessage();
        break;
    case PageReDownload:
        showReDownloadDialog();
        break;
    case PagePackageCreated:
        showPackageCreatedMessage();
        break;
    case PageReEnrollmentInitiated:
        showReEnrollmentInitiatedMessage();
        break;
    case PageRestartCountdown:
        showRestartCountdown();
        break;
    case PagePrerequisite:
    case PageOmblNotForThisSystem:
    case PageOmblWithoutProduct:
        showPreRequisiteError(page);
        break;
    case PageBackendNotReachable:
        showBackendNotReachable();
        break;
    default:
        QK_LOG_ERROR(L"Unexpected VEK dialog type specified.");
        break;
    }
    centerWindow();
}

// ---- page building blocks -------------------------------------------------------------------

// Clears the middle for a page: no job list, no wait animation, no logo; headline and body
// shown, the extra lines, links, warning and page buttons hidden.
void VekBaseUI::preparePage(int iconId)
{
    Impl& ui = *m_impl;
    ui.waitAnimation.Stop();
    ui.waitAnimation.ShowWindow(SW_HIDE);
    setJobListVisible(false);
    ui.logo.ShowWindow(SW_HIDE);
    for (VekWindow* control :
         std::initializer_list<VekWindow*>{&ui.greenLine, &ui.secondLine, &ui.secondBody, &ui.warningSign, &ui.linkLeft,
                                           &ui.linkRight, &ui.linkPackage, &ui.action1, &ui.action2})
        control->ShowWindow(SW_HIDE);
    ui.greenLine.SetTooltip(L"");
    ui.pageIcon.SetImage(iconId);
    ui.headline.ShowWindow(SW_SHOW);
    ui.body.ShowWindow(SW_SHOW);
}

void VekBaseUI::setFooterClose(int stringId, const wchar_t* fallback)
{
    Impl& ui = *m_impl;
    ui.footerClose.SetWindowText(LoadText(static_cast<UINT>(stringId), fallback).c_str());
    ui.footerClose.ShowWindow(SW_SHOW);
    ui.footerClose.Invalidate();
}

void VekBaseUI::setHeadline(const std::wstring& text)
{
    m_impl->headline.SetText(-1, text, false);
}

void VekBaseUI::setBody(const std::wstring& text)
{
    // The body grows to its text (a component result runs over several lines).
    m_impl->body.SetText(-1, text, true);
}

// Sets a page button's caption, sizes it to the caption (never narrower than the design width,
// always the design height), aligns its right edge at `right` (client pixels) and shows it.
void VekBaseUI::placePageButton(VekGDIPlusButton& button, const std::wstring& caption, int right)
{
    const VekScale& s = m_impl->scale;
    // The page buttons take the footer's place: its Close button would lie under them.
    m_impl->footerClose.ShowWindow(SW_HIDE);
    button.SetCaptionAndResize(caption);
    RECT rect = button.GetWindowRectInParent();
    int width = rect.right - rect.left;
    if (width < s.X(layout::kMinButtonWidth))
        width = s.X(layout::kMinButtonWidth);
    RECT client{};
    ::GetClientRect(m_hWnd, &client);
    const int height = s.Y(layout::kButtonHeight);
    ::SetWindowPos(button, nullptr, right - width, client.bottom - s.Y(layout::kButtonBottom) - height, width, height,
                   SWP_NOZORDER | SWP_NOACTIVATE | SWP_SHOWWINDOW);
    button.Invalidate();
}

int VekBaseUI::action2Right() const
{
    RECT client{};
    ::GetClientRect(m_hWnd, &client);
    return client.right - m_impl->scale.X(layout::kAction2Right);
}

int VekBaseUI::action1Right() const
{
    const RECT rect = m_impl->action2.GetWindowRectInParent();
    return rect.left - m_impl->scale.X(layout::kButtonGap);
}

void VekBaseUI::applyPartialFailureCode(int failedComponents)
{
    const auto document = manifestDocument();
    if (!document)
        return;
    VekManifestView view(*document);
    if (failedComponents < view.manifest.countInstallers())
        g_ExitCode = ExitPartialFailover;
}

// ---- the pages ------------------------------------------------------------------------------

void VekBaseUI::showAttentionMessage()
{
    try {
        stopJobAndDisableStartAfterReboot();
        preparePage(IDR_PNG_ERROR);
        setFooterClose(kStringClose, L"Close");
        switch (m_lastFatalState) {
        case vek::eJobInstallStopped:
        case vek::eJobPluginFailure:
        case vek::eFatalError:
        case vek::eFailover: {
            setHeadline(LoadText(160));
            if (m_lastFatalState == vek::eFatalError && m_messageShown)
                break;
            std::wstring body = LoadText(272);
            if (m_lastError == VEK_E_DOWNLOAD_FAILED)
                body = LoadText(237) + L"\n\n" + body;
            setBody(body);
            break;
        }
        case vek::eJobInstallFailed: {
            const bool uninstall = VekTools::hasCmdSwitch(m_commandLine, switches::UNINSTALL);
            const bool kaj = GetProductNameStringId() == 133;
            setHeadline(LoadText(uninstall ? 345 : (kaj ? 329 : 344)));
            nlohmann::json job;
            std::wstring body;
            if (m_engine && m_engine->GetJob(0, job)) {
                int failed = 0;
                body = getComponentResultText(job, !uninstall, failed);
                if (!body.empty()) {
                    applyPartialFailureCode(failed);
                } else if (HRESULT jobError = S_OK; ManifestAccess::JobErrorCode(job, jobError)) {
                    const auto code = static_cast<uint32_t>(jobError);
                    wchar_t buffer[32];
                    if (kaj)
                        qkLib::FormatWide(buffer, 32, L"0x%08X", code);
                    else
                        qkLib::FormatWide(buffer, 32, L"%d", static_cast<int>(code));
                    body = FillMarkers(LoadText(uninstall ? 346 : 330), {buffer});
                }
            }
            setBody(body);
            m_messageShown = true;
            break;
        }
        default:
            setHeadline(LoadText(160));
            setBody(L"");
            break;
        }
    } catch (const std::bad_alloc&) {
        QK_LOG_ERROR(L"Memory Exception is caught in showAttentionMessage");
    }
}

void VekBaseUI::showAlreadyInstalledMessage()
{
    try {
        stopJobAndDisableStartAfterReboot();
        preparePage(IDR_PNG_ALERT);
        setHeadline(LoadText(274, L"Alert"));
        setBody(LoadText(273, L"You can only install over an older version of the product. You already have the "
                              L"same version or a newer version installed."));
        setFooterClose(kStringClose, L"Close");
    } catch (const std::bad_alloc&) {
        QK_LOG_ERROR(L"Memory Exception is caught in showAlreadyInstalledMessage");
    }
}

void VekBaseUI::showReDownloadDialog()
{
    try {
        preparePage(IDR_PNG_ALERT);
        setHeadline(LoadText(175));
        setBody(LoadText(272));
        setFooterClose(kStringClose, L"Close");
    } catch (const std::bad_alloc&) {
        QK_LOG_ERROR(L"Memory Exception is caught in showReDownloadDialog");
    }
}

// Sizes the link to its label (the label measured in the link's font, plus its margin) and
// places it at `top`, from `left` or, aligned right, up to `right`; a label wider than the room
// between them keeps its left edge and takes the dialog's margin on the right. Shows the link
// and returns its rectangle.
RECT VekBaseUI::placeLinkOnItsText(VekHyperLink& link, const std::wstring& label, int left, int right, int top,
                                   bool alignRight)
{
    ::SetWindowPos(link, nullptr, 0, 0, 1, 1, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    link.SetLabel(label, true);
    RECT rect = link.GetWindowRectInParent();
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    const int x = alignRight && width <= right - left ? right - width : left;
    ::SetWindowPos(link, nullptr, x, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    link.ShowWindow(SW_SHOW);
    return RECT{x, top, x + width, top + height};
}

void VekBaseUI::showPackageCreatedMessage()
{
    try {
        stopJobAndDisableStartAfterReboot();
        Impl& ui = *m_impl;
        preparePage(IDR_PNG_SUCCESS);
        setHeadline(L"");
        setBody(LoadText(304));
        const VekScale& s = ui.scale;
        RECT client{};
        ::GetClientRect(m_hWnd, &client);
        const int top = s.Y(250);

        std::wstring folder;
        if (m_engine)
            folder = std::filesystem::path(m_engine->GetDownloadFolder()).parent_path().wstring();
        ui.linkLeft.SetUrl(folder);
        ui.linkLeft.SetDrawTextFlags(DT_LEFT | DT_VCENTER | DT_SINGLELINE);
        const int left = s.X(layout::kTextLeft), right = client.right - s.X(layout::kTextRight);
        const RECT first = placeLinkOnItsText(ui.linkLeft, LoadText(148), left, right, top, false);

        const bool endpoint = isEndpointManifest();
        // The endpoint product has a help-centre page of its own; a table without it falls back
        // to the general one.
        std::wstring helpCentre = endpoint ? LoadText(357) : std::wstring();
        if (helpCentre.empty())
            helpCentre = LoadText(319);
        ui.linkRight.SetUrl(helpCentre);
        ui.linkRight.SetDrawTextFlags(DT_RIGHT | DT_VCENTER | DT_SINGLELINE);
        placeLinkOnItsText(ui.linkRight, LoadText(320), left, right, first.bottom + s.Y(6), true);

        setFooterClose(183, L"Finish");
        forceForeground();
    } catch (const std::bad_alloc&) {
        QK_LOG_ERROR(L"Memory Exception is caught in showPackageCreatedMessage");
    }
}

void VekBaseUI::showReEnrollmentInitiatedMessage()
{
    try {
        stopJobAndDisableStartAfterReboot();
        preparePage(IDR_PNG_SUCCESS);
        setHeadline(L"");
        setBody(LoadText(isEndpointManifest() ? 347 : 321));
        setFooterClose(kStringClose, L"Close");
    } catch (const std::bad_alloc&) {
        QK_LOG_ERROR(L"Memory Exception is caught in showReEnrollmentInitiatedMessage");
    }
}

void VekBaseUI::showPreRequisiteError(int page)
{
    try {
        stopJobAndDisableStartAfterReboot();
        preparePage(IDR_PNG_ALERT);
        setHeadline(LoadText(274, L"Alert"));
        int body = 341;
        if (page == 17) {
            body = 157;
        } else if (page == 19) {
            body = 348;
        } else {
            // The launcher's own manifest decides; the engine's copy stands in when the file
            // carries none.
            nlohmann::json manifest;
            ManifestDocument own;
            wchar_t path[MAX_PATH * 4] = {};
            const DWORD length = ::GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
            if (length != 0 && length < std::size(path) && SUCCEEDED(own.LoadFromLauncher(path)))
                manifest = own.Snapshot();
            else if (const auto document = manifestDocument())
                manifest = document->Snapshot();
            if (isCreateMsiJob(manifest))
                body = 342;
        }
        setBody(LoadText(static_cast<UINT>(body)));
        setFooterClose(kStringClose, L"Close");
    } catch (const std::bad_alloc&) {
        QK_LOG_ERROR(L"Memory Exception is caught in showPreRequisiteError");
    }
}

void VekBaseUI::showBackendNotReachable()
{
    try {
        stopJobAndDisableStartAfterReboot();
        preparePage(IDR_PNG_ALERT);
        setHeadline(LoadText(274, L"Alert"));
        setBody(WithLineBreaks(LoadText(362)));
        setFooterClose(kStringClose, L"Close");
    } catch (const std::bad_alloc&) {
        QK_LOG_ERROR(L"Memory Exception is caught in showBackendNotReachable");
    }
}

void VekBaseUI::showJobUI()
{
    Impl& ui = *m_impl;
    ui.body.SetText(kStringInitializing, L"", false);
    ui.greenLine.SetText(-1, L"", false);
    ui.secondLine.SetText(-1, L"", false);
    ui.greenLine.ShowWindow(SW_HIDE);
    ui.secondLine.ShowWindow(SW_HIDE);
    ui.action1.ShowWindow(SW_HIDE);
    ui.action2.ShowWindow(SW_HIDE);
    ui.footerClose.ShowWindow(SW_SHOW);
    if (!m_JobListUI) {
        QK_LOG_ERROR(L"m_JobListUI.get() is NULL");
        return;
    }
    setJobListVisible(true);
}

// ---- the component result text ----------------------------------------------------------------

std::wstring VekBaseUI::getComponentResultText(const nlohmann::json& job, bool install, int& failedComponents)
{
    struct Component {
        const char* name;
        UINT displayName;
    };
    static const Component kComponents[] = {{"ombl", 360}, {"qor", 359}, {"wox", 361}};
    struct Found {
        UINT displayName;
        long long status;
        long long code;
    };
    std::vector<Found> found;
    failedComponents = 0;
    const nlohmann::json* errors = nullptr;
    if (job.is_object()) {
        const auto it = job.find(jobkeys::kIntermediateErrors);
        if (it != job.end() && it->is_array())
            errors = &*it;
    }
    if (errors != nullptr) {
        for (const Component& component : kComponents) {
            for (const nlohmann::json& entry : *errors) {
                if (!entry.is_object())
                    continue;
                const auto name = entry.find("component");
                if (name == entry.end() || !name->is_string() || name->get<std::string>() != component.name)
                    continue;
                auto number = [&entry](const char* key) -> long long {
                    const auto value = entry.find(key);
                    if (value == entry.end() || !value->is_number())
                        return 0;
                    return value->is_number_unsigned() ? static_cast<long long>(value->get<uint64_t>())
                                                       : value->get<long long>();
                };
                found.push_back({component.displayName, number("type"), number("code")});
                break;
            }
        }
    }
    for (const Found& entry : found)
        if (entry.code != 0)
            ++failedComponents;

    std::wstring text;
    for (size_t i = 0; i < found.size(); ++i) {
        const Found& entry = found[i];
        const std::wstring name = LoadText(entry.displayName);
        std::wstring line;
        if (entry.status == 0)
            line = FillMarkers(LoadText(install ? 353 : 354), {name, CodeText(entry.code)});
        else if (entry.status == 1 && entry.code == 0)
            line = FillMarkers(LoadText(install ? 355 : 358), {name});
        else if (entry.status == 1)
            line = FillMarkers(LoadText(install ? 351 : 352), {name, CodeText(entry.code)});
        if (i > 0 && !text.empty())
            text += L"\n\n";
        text += line;
    }
    if (!text.empty()) {
        text += L"\n\n\n";
        text += LoadText(356);
    }
    return text;
}

} // namespace vek
