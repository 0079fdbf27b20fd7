// Entry of VekLauncher, the 32-bit GUI download manager and installation launcher: hardens the
// process, opens the log, registers the trust and settings factories, then runs either the
// companion-application installation or the interactive engine, and returns g_ExitCode.
#include <windows.h>

#include <commctrl.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/base/qkComApartment.h"
#include "common/base/qkScopeExit.h"
#include "common/errors/qkLog.h"
#include "common/objects/EnsureLocalUcrtLoaded.h"
#include "common/system/qkCommandLine.h"
#include "engine/VekLauncherStart.h"
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
#include "services/tasks/CTaskScheduler.h"
#include "services/trust/Jux_TrustFactory.h"
#include "settings/manager/qkSettingsModule.h"
#include "ui/engine/VekUIEngine.h"
#include "ui/resources/CVekResourceLoader.h"
#include "ui/window/VekMessageLoop.h"

namespace {

void ClearTrustFactory() { Jux::UnregisterVerifyTrustFactory(); }
void ReleaseSettingsModule() { qkSettings::ModuleRelease(); }

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

    if (vek::HasParsedSwitch(commandLine, vek::switches::SHOW_RESTART_PROMPT)) {
        // The restart prompt alone: the engine is not started, and the exit sequence below runs
        // as after any other page.
        engine->showUI(S_OK);
        runLoop();
    } else {
        hr = vek::StartAndReact(instance, commandLine, tracing, *engine, exePath, hr, runLoop);
    }

    if (vek::RemovesDeploymentPackage(g_ExitCode, vek::HasParsedSwitch(commandLine, vek::switches::EXECUTED_BY_MSI)))
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
