#include "engine/VekProgram.h"
#include "services/launcher/VekResultCodes.h"

#include "common/base/qkStringConvert.h"
#include "common/errors/qkTalErrorInstance.h"
#include "common/objects/qkTalModuleLifetimeMgrImpl.h"
#include "common/system/qkOSInfo.h"
#include "engine/launcher/VekExitCode.h"
#include "engine/launcher/VekProgramRules.h"
#include "engine/log/VekLog.h"
#include "engine/report/VekPingReporter.h"
#include "engine/report/VekStatusEvents.h"
#include "engine/report/VekStatusReporter.h"
#include "services/launcher/VekTokenMask.h"
#include "net/http/Jux_ResultCodes.h"
#include "settings/manager/qkSettingsModule.h"
#include "services/trust/qkVerifyTrustStatic.h"
#include "ui/res/VekResourceIds.h"
#include "ui/resources/CVekResourceLoader.h"

#include <commctrl.h>
#include <evntprov.h>
#include <shellapi.h>

#include <mutex>
#include <string>

HRESULT LaunchProcessWithShellExecute(const wchar_t* path, const wchar_t* parameters, bool elevate)
{
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC | SEE_MASK_NO_CONSOLE;
    info.lpVerb = elevate && qkOSInfo::IsWindowsVista(TRUE) ? L"runas" : L"open";
    info.lpFile = path;
    info.lpParameters = parameters;
    info.nShow = SW_SHOW;
    if (!::ShellExecuteExW(&info)) {
        const HRESULT hr = HRESULT_FROM_WIN32(::GetLastError());
        vek::LogErrorAt(L"LaunchProcessWithShellExecute(159)", L"ShellExecuteEx() failed, hr=0x%08X", hr);
        return hr;
    }
    if (info.hProcess)
        ::CloseHandle(info.hProcess);
    return S_OK;
}

HRESULT StaticVerifyTrustFactory(IVerifyTrust** trust)
{
    if (!trust)
        return E_POINTER;
    *trust = nullptr;
    IVerifyTrustOptions* options = qkVerifyTrustStatic::CreateObject();
    IVerifyTrust* object = nullptr;
    if (options) {
        options->QueryInterface(IID_IVerifyTrust, reinterpret_cast<void**>(&object));
        options->SetOption(0);
        options->Release();
    }
    if (!object) {
        vek::LogErrorAt(L"StaticVerifyTrustFactory(370)", L"spTrust==NULL");
        return vek::VEK_E_TRUST;
    }
    object->SetCheckRevocation(0);
    const DWORD created = object->Create(FALSE);
    if (created != 1) {
        vek::LogErrorAt(L"StaticVerifyTrustFactory(382)", L"spTrust->Create() failed, validationError=%d", created);
        object->Release();
        return vek::VEK_E_TRUST;
    }
    *trust = object; // the caller's reference
    return S_OK;
}

HRESULT StaticSettingsFactory(qkSettings::ISettingsMgr** manager)
{
    const HRESULT code = qkSettings::CreateStandaloneSettingsMgr(manager);
    if (code != 0x00010000 && FAILED(code)) {
        vek::LogErrorAt(L"StaticSettingsFactory(397)",
                        L"StaticSettingsFactory failed to create Standalone Settings Mgr, "
                        L"Error=%d",
                        code);
        return Jux::HResultFromResultCode(static_cast<std::uint32_t>(code));
    }
    return S_OK;
}

namespace vek {

bool ProcessorSupported(bool sse, bool sse2)
{
    return sse && sse2;
}

namespace {

INT_PTR CALLBACK UnsupportedProcessorProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: {
        auto& loader = CVekResourceLoader::Instance();
        std::wstring text;
        if (loader.LoadString(text, 301))
            ::SetDlgItemTextW(dialog, IDC_VEK_UNSUPPORTED_TEXT, text.c_str());
        if (loader.LoadString(text, 302))
            ::SetDlgItemTextW(dialog, IDC_VEK_UNSUPPORTED_LINK, text.c_str());
        return TRUE;
    }
    case WM_COMMAND: {
        const WORD id = LOWORD(wParam);
        if (id == IDOK || id == IDCANCEL || id == IDC_VEK_UNSUPPORTED_LINK) {
            ::EndDialog(dialog, id);
            return TRUE;
        }
        break;
    }
    case WM_NOTIFY: {
        const auto* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header && header->idFrom == IDC_VEK_UNSUPPORTED_LINK &&
            (header->code == NM_CLICK || header->code == NM_RETURN)) {
            const auto* link = reinterpret_cast<const NMLINK*>(lParam);
            ::ShellExecuteW(nullptr, L"open", link->item.szUrl, nullptr, nullptr, SW_SHOW);
            return TRUE;
        }
        break;
    }
    default:
        break;
    }
    return FALSE;
}

} // namespace

HRESULT CheckProcessorSupport(bool quiet)
{
    if (ProcessorSupported(::IsProcessorFeaturePresent(PF_XMMI_INSTRUCTIONS_AVAILABLE) != FALSE,
                           ::IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE) != FALSE))
        return S_OK;
    if (!quiet) {
        INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_LINK_CLASS | ICC_STANDARD_CLASSES};
        if (::InitCommonControlsEx(&controls))
            ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_VEK_UNSUPPORTED_PROCESSOR),
                              ::GetDesktopWindow(), UnsupportedProcessorProc, 0);
    }
    return static_cast<HRESULT>(0xC000001D);
}

void LogStartup(const wchar_t* commandLine)
{
    wchar_t user[256] = {};
    DWORD size = 255;
    if (!::GetUserNameW(user, &size))
        user[0] = L'\0';
    DWORD session = 0;
    if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &session))
        session = static_cast<DWORD>(-1);
    // The command line may carry the customer token: it is masked in the log, the status event
    // and the ping.
    const std::wstring masked = MaskCommandLineToken(::GetCommandLineW());
    LogInfo(L"Starting..., session: %d, user %s, cmdLine: %s", static_cast<int>(session), user, masked.c_str());
    const wchar_t* account = AccountWordFor(user);
    LogStatusEventF(VEK_STARTED, L"account %s, session %d, cmdLine: %s", account, static_cast<int>(session),
                    masked.c_str());
    SendStartPing(commandLine ? commandLine : L"", StartAccountText(account, session));
}

std::wstring StartAccountText(const wchar_t* account, DWORD session)
{
    std::wstring text;
    qkStringConvert::Format(text, L"account %s, session %d", account != nullptr ? account : L"",
                            static_cast<int>(session));
    return text;
}

void LogExit(HRESULT hr)
{
    LogStatusEventF(VEK_FINISHED, L"g_ExitCode = %d, hr=0x%08X", g_ExitCode, hr);
    SendFinishPing(g_ExitCode, hr);
}

void ReportStartFailure(HRESULT hr, void* callerAddress)
{
    qkTalErrorInstance report;
    // The failing result as the second number; every report may carry a dump.
    report.Report(L"VekLauncher", reinterpret_cast<ULONG_PTR>(callerAddress), 0, static_cast<DWORD>(hr), 0, false,
                  true, 1, nullptr);
}

IModuleLifetimeMgr* GetModuleLifetimeManager()
{
    static std::mutex lock;
    static IModuleLifetimeMgr* manager = nullptr;
    std::lock_guard<std::mutex> guard(lock);
    if (!manager)
        manager = qkTalModuleLifetimeMgrImpl::Create();
    return manager;
}

VekTraceRegistration::VekTraceRegistration()
{
    // The provider "VEK"; its id is this name's own, fixed for every build.
    static const GUID kProvider = {0x5e1b7a43, 0x2c9d, 0x4f60, {0x9a, 0x1e, 0x7d, 0x3b, 0x52, 0xc8, 0x0f, 0x64}};
    REGHANDLE handle = 0;
    if (::EventRegister(&kProvider, nullptr, nullptr, &handle) == ERROR_SUCCESS)
        m_handle = handle;
}

VekTraceRegistration::~VekTraceRegistration()
{
    Unregister();
}

void VekTraceRegistration::Unregister()
{
    if (m_handle) {
        ::EventUnregister(m_handle);
        m_handle = 0;
    }
}

} // namespace vek
