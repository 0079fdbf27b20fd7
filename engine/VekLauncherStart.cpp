#include "engine/VekLauncherStart.h"

#include "common/errors/qkLog.h"
#include "common/objects/GetCallerAddress.h"
#include "engine/VekProgram.h"
#include "engine/launcher/VekExitCode.h"
#include "engine/launcher/VekProgramRules.h"
#include "engine/launcher/VekSwitches.h"
#include "engine/log/VekLog.h"
#include "services/launcher/VekResultCodes.h"
#include "services/session/Tolk_UtilsHelper.h"
#include "services/trust/InstallResourceCertificates.h"
#include "ui/engine/VekUIEngine.h"

namespace vek {

namespace {

// Relaunches this executable through the shell with "/r": elevated when asked, and without
// elevation when the elevation prompt was cancelled. True when a copy started.
bool RelaunchThroughShell(const std::wstring& exePath, bool elevate, const wchar_t* cancelledPlace)
{
    HRESULT hr = LaunchProcessWithShellExecute(exePath.c_str(), L"/r", elevate);
    if (hr == HRESULT_FROM_WIN32(ERROR_CANCELLED)) {
        vek::LogErrorAt(cancelledPlace, L"UAC was canceled, relaunching non-elevated");
        hr = LaunchProcessWithShellExecute(exePath.c_str(), L"/r", false);
    }
    if (FAILED(hr))
        QK_LOG_ERROR(L"The relaunch of %s failed, hr=0x%08X", exePath.c_str(), hr);
    return SUCCEEDED(hr);
}

// A copy that really started ends this process with 13; a relaunch that failed with 3.
void SetRelaunchExitCode(bool started) { g_ExitCode = started ? vek::ExitRelaunched : vek::ExitPrerequisites; }

// Starts the launcher again in the interactive user's session with the engine's restart
// command line and this process's switches.
void RestartInUserSession(VekUIEngine& engine, VekTraceRegistration& tracing)
{
    vek::LogInfo(L"Restart VEK under interactive user session");
    std::wstring restart;
    engine.getRestartCommandLine(restart);
    const wchar_t* current = GetCommandLineW();
    std::wstring commandLine = vek::UserSessionCommandLine(restart, current ? current : L"");
    if (restart.find(vek::switches::RESTARTED_IN_SESSION) != std::wstring::npos)
        vek::LogWarning(L"RESTARTED_IN_SESSION already added into command line");
    Tolk::CSessionLauncher launcher;
    LONG result = launcher.StartForInteractiveUser(commandLine.c_str(), L"", true, false);
    if (result == ERROR_SUCCESS) {
        tracing.Unregister();
        g_ExitCode = vek::ExitRelaunched;
    } else {
        vek::LogInfo(L"Unable to start under interactive user session");
        QK_LOG_ERROR(L"Start in the user session failed, error %ld", result);
        g_ExitCode = vek::ExitPrerequisites;
    }
}

} // namespace

HRESULT StartAndReact(HINSTANCE instance, const wchar_t* commandLine, VekTraceRegistration& tracing,
                      VekUIEngine& engine, const std::wstring& exePath, HRESULT hr,
                      const std::function<void()>& runLoop)
{
    if (SUCCEEDED(hr)) {
        vek::InstallResourceCertificates(instance, 400, L"CA");
        vek::InstallResourceCertificates(instance, 401, L"ROOT");
        hr = engine.Start(exePath.c_str(), commandLine);
    }

    if (SUCCEEDED(hr) && engine.isScheduledForLater()) {
        vek::LogInfo(L"VEK scheduled to run in future, exit for now");
    } else if (SUCCEEDED(hr) && engine.needsRestartInUserSession()) {
        RestartInUserSession(engine, tracing);
    } else if (SUCCEEDED(hr) && !engine.restartRequested() && !engine.restartElevatedRequested()) {
        vek::LogInfoAt(L"wWinMain(645)", L"spVekEngine->Start() succeeded, starting message loop");
        runLoop();
        vek::LogInfoAt(L"wWinMain(647)", L"Message loop has exited");
        if (engine.restartRequested())
            SetRelaunchExitCode(RelaunchThroughShell(exePath, true, L"wWinMain(657)"));
    } else if (engine.restartElevatedRequested()) {
        vek::LogInfoAt(L"wWinMain(667)", L"Relaunching elevated");
        SetRelaunchExitCode(RelaunchThroughShell(exePath, true, L"wWinMain(672)"));
    } else if (hr == vek::VEK_E_ANOTHER_INSTANCE) {
        vek::LogInfoAt(L"wWinMain(681)", L"Another instance detected show prompt and exit");
        g_ExitCode = vek::ExitAnotherInstance;
        engine.showAnotherInstancePrompt();
    } else if (hr == vek::VEK_E_CLEANUP) {
        vek::LogInfoAt(L"wWinMain(695)", L"Got hr == VEK_E_CLEANUP, exiting");
    } else if (hr == vek::VEK_E_NO_CC_TOKEN) {
        g_ExitCode = vek::ExitNoConnectionToken;
        engine.showUI(hr);
        runLoop();
    } else if (hr == vek::VEK_E_NOT_ADMIN || hr == vek::VEK_E_PREREQUISITES) {
        if (g_ExitCode == vek::ExitNormal) {
            vek::LogInfoAt(L"wWinMain(707)", L"Got hr == VEK_E_PREREQUISITES or VEK_E_NOT_ADMIN");
            g_ExitCode = vek::ExitPrerequisites;
        } else if (hr == vek::VEK_E_NOT_ADMIN) {
            engine.showUI(hr);
            runLoop();
        }
    } else if (FAILED(hr)) {
        vek::LogErrorAt(L"wWinMain(718)", L"spVekEngine->Start() failed, hr=0x%08X", hr);
        void* caller = nullptr;
        qkLib::GetCallerAddress(&caller);
        vek::ReportStartFailure(hr, caller);
        engine.showUI(hr);
        runLoop();
    }
    // Otherwise the bootstrap has already started the launcher copy that goes on.
    return hr;
}

} // namespace vek
