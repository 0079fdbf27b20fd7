// Entry of VekLauncher, the 32-bit GUI download manager and installation launcher: hardens the
// process, opens the log, registers the trust and settings factories, then runs either the
// companion-application installation or the interactive engine, and returns g_ExitCode.
#include <windows.h>

#include <commctrl.h>

#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/base/qkComApartment.h"
#include "common/base/qkScopeExit.h"
#include "common/errors/qkLog.h"
#include "common/objects/EnsureLocalUcrtLoaded.h"
#include "common/objects/GetCallerAddress.h"
#include "common/system/qkCommandLine.h"
#include "engine/VekProgram.h"
#include "engine/launcher/SecurityResult.h"
#include "engine/launcher/VekExitCode.h"
#include "engine/launcher/VekProcessMitigations.h"
#include "engine/launcher/VekProgramRules.h"
#include "engine/launcher/VekSwitches.h"
#include "engine/log/VekDebugOutput.h"
#include "engine/log/VekLog.h"
#include "engine/log/VekStartupTrace.h"
#include "net/http/Jux_SettingsFactory.h"
#include "services/companion/WOXWrapper.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekTools.h"
#include "services/launcher/VekUtil.h"
#include "services/session/Tolk_UtilsHelper.h"
#include "services/tasks/CTaskScheduler.h"
#include "services/trust/InstallResourceCertificates.h"
#include "services/trust/Jux_TrustFactory.h"
#include "settings/manager/qkSettingsModule.h"
#include "ui/engine/VekUIEngine.h"
#include "ui/resources/CVekResourceLoader.h"
#include "ui/window/VekMessageLoop.h"

namespace {

void ClearTrustFactory() { Jux::UnregisterVerifyTrustFactory(); }
void ReleaseSettingsModule() { qkSettings::ModuleRelease(); }

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
void RestartInUserSession(vek::VekUIEngine& engine, vek::VekTraceRegistration& tracing)
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

// Starts the engine and reacts to its start result: scheduled for later, restart in the user's
// session, the message loop, relaunches, prompts and failure pages. Returns the start result.
HRESULT StartAndReact(HINSTANCE instance, const wchar_t* commandLine, vek::VekTraceRegistration& tracing,
                      vek::VekUIEngine& engine, const std::wstring& exePath, HRESULT hr,
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

// The engine branch: start the engine and react to its start result. Returns the start result.
HRESULT RunEngine(HINSTANCE instance, const wchar_t* commandLine, vek::VekTraceRegistration& tracing)
{
    vek::TraceStartupStep(vek::StartupStep::CommonControls);
    DefWindowProcW(nullptr, 0, 0, 0);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
    BOOL controlsReady = InitCommonControlsEx(&controls);
    HRESULT hr = controlsReady ? S_OK : HRESULT_FROM_WIN32(GetLastError());
    if (FAILED(hr))
        QK_LOG_ERROR(L"The common controls could not be initialised, hr=0x%08X", hr);

    vek::TraceStartupStep(vek::StartupStep::LegacyTasks);
    auto scheduler = std::make_unique<vek::CTaskScheduler>();
    scheduler->DeleteLegacyTasks();
    auto loop = std::make_unique<vek::VekMessageLoop>();
    // The windows register their keyboard filters with the current loop.
    vek::VekMessageLoop::SetCurrent(loop.get());
    vek::TraceStartupStep(vek::StartupStep::Engine);
    auto engine = std::make_unique<vek::VekUIEngine>();
    std::wstring exePath;
    vek::GetModulePath(nullptr, exePath);

    auto runLoop = [&loop] { loop->Run(); };

    if (vek::HasRawSwitch(commandLine, vek::switches::SHOW_RESTART_PROMPT)) {
        // The restart prompt alone: the engine is not started, and the exit sequence below runs
        // as after any other page.
        engine->showUI(S_OK);
        runLoop();
    } else {
        hr = StartAndReact(instance, commandLine, tracing, *engine, exePath, hr, runLoop);
    }

    if (vek::RemovesDeploymentPackage(g_ExitCode, vek::HasRawSwitch(commandLine, vek::switches::EXECUTED_BY_MSI)))
        vek::UninstallDeploymentMsi();

    // Released in this order: the engine (joins its threads), the loop, the scheduler.
    engine.reset();
    vek::VekMessageLoop::SetCurrent(nullptr);
    loop.reset();
    scheduler.reset();
    return hr;
}

// The companion-application branch: installs the package named by WOX_PACKAGE_PATH.
int RunCompanionInstall()
{
    qkCommandLine parsed;
    parsed.ParseProcessCommandLine();
    const wchar_t* package = parsed.GetSwitchValue(vek::switches::WOX_PACKAGE_PATH);
    WOXWrapper wrapper;
    return static_cast<int>(wrapper.Install(package ? package : L"", false));
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int)
{
    const wchar_t* rawCommandLine = commandLine ? commandLine : L"";
    const bool companion = vek::HasRawSwitch(rawCommandLine, vek::switches::INSTALL_WOX_APP);

    // Lines logged before the log file is configured wait for it.
    vek::VekDebugOutput.HoldLines();
    vek::TraceStartupStep(vek::StartupStep::Hardening);
    std::vector<SecurityResult> hardening;
    vek::ApplyProcessMitigations(hardening);
    vek::VekTraceRegistration tracing;
    const HRESULT ucrt = qkLib::EnsureLocalUcrtLoaded();

    vek::TraceStartupStep(vek::StartupStep::Com);
    qkComApartment apartment;
    HRESULT hr = apartment.Initialize(qkComApartment::ModeApartmentThreaded);
    if (FAILED(hr)) {
        tracing.Unregister();
        return hr;
    }

    HRESULT result = S_OK;
    try {
        vek::TraceStartupStep(vek::StartupStep::LogFile);
        CVekResourceLoader::Instance().Initialize();
        hr = vek::CheckProcessorSupport(false);
        if (FAILED(hr)) {
            vek::VekDebugOutput.ReleaseHeldLines();
            return hr;
        }

        if (const wchar_t* baseName = vek::LogBaseNameFor(rawCommandLine, VekTools::isProcessInInteractiveSession())) {
            HRESULT logResult = vek::InitLogFile(vek::VekDebugOutput, baseName, L"Talvern\\Vek", vek::ConfigureLogFile);
            if (FAILED(logResult))
                OutputDebugStringW(L"VekLauncher: the log file could not be opened\n");
        }
        vek::VekDebugOutput.ReleaseHeldLines();
        for (const SecurityResult& entry : hardening)
            entry.LogResult();
        if (FAILED(ucrt))
            vek::LogInfoAt(L"wWinMain(520)", L"Unable to Preload ucrtbase.dll");

        if (!companion) {
            vek::TraceStartupStep(vek::StartupStep::StartRecord);
            vek::LogStartup(rawCommandLine);
        }

        qkSettings::ModuleAddRef();
        hr = Jux::RegisterVerifyTrustFactory(StaticVerifyTrustFactory);
        if (FAILED(hr)) {
            vek::LogInfoAt(L"wWinMain(529)", L"Unable to init trust factory");
            qkSettings::ModuleRelease();
            return hr;
        }
        qkScopeExit trustGuard(ClearTrustFactory);
        hr = Jux::RegisterSettingsFactory(StaticSettingsFactory);
        if (FAILED(hr)) {
            vek::LogInfoAt(L"wWinMain(542)", L"Unable to init static settings factory");
            qkSettings::ModuleRelease();
            return hr;
        }
        qkScopeExit settingsGuard(ReleaseSettingsModule);

        if (companion)
            return RunCompanionInstall();

        result = RunEngine(instance, rawCommandLine, tracing);
    } catch (const std::bad_alloc&) {
        result = E_OUTOFMEMORY;
    } catch (const std::exception& error) {
        QK_LOG_ERROR(L"Unexpected failure: %hs", error.what());
        result = E_UNEXPECTED;
        if (g_ExitCode == vek::ExitNormal)
            g_ExitCode = vek::ExitPrerequisites;
    }

    vek::LogExit(result);
    vek::LogInfo(L"VEK exited. Error code: %d", g_ExitCode);
    tracing.Unregister();
    apartment.Uninitialize();
    return g_ExitCode;
}
