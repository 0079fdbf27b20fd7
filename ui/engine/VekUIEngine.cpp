#include "ui/engine/VekUIEngine.h"

#include "common/base/qkExceptionInfo.h"
#include "common/errors/qkLog.h"
#include "common/errors/qkTalErrorInstance.h"
#include "common/objects/GetCallerAddress.h"
#include "common/system/qkCommandLine.h"
#include "engine/jobengine/VekJobEngine.h"
#include "engine/launcher/VekExitCode.h"
#include "engine/launcher/VekInstanceWait.h"
#include "engine/launcher/VekSingleInstance.h"
#include "engine/launcher/VekSwitches.h"
#include "engine/log/VekStartupTrace.h"
#include "ui/res/VekStringIds.h"
#include "engine/manifest/CManifest.h"
#include "engine/manifest/JobEngineException.h"
#include "engine/manifest/ManifestAccess.h"
#include "engine/manifest/ManifestDocument.h"
#include "engine/manifest/VekOwnManifest.h"
#include "engine/manifest/VekJobStates.h"
#include "engine/report/VekPingReporter.h"
#include "engine/state/VekRegistryState.h"
#include "net/proxy/VekProxySettings.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekTools.h"
#include "services/launcher/VekUtil.h"
#include "services/msi/CMsiUtils.h"
#include "services/tasks/CTaskScheduler.h"
#include "ui/VekJobUpdateRecord.h"
#include "ui/VekProgressRecord.h"
#include "ui/VekWindowMessages.h"
#include "ui/dialog/VekBaseUI.h"
#include "ui/dialog/VekProductName.h"
#include "ui/resources/CVekResourceLoader.h"

#include "ui/tray/VekTray.h"
#include "ui/util/VekLayoutDirection.h"

#include <versionhelpers.h>

#include <new>

namespace vek {

namespace {

// User-interface strings.
constexpr UINT kStringAnotherInstance = 235;
constexpr UINT kStringLaunchDescription = 294;
constexpr UINT kStringFolderDescription = 296;

// The schedule value's leading decimal digits; no digits read as 0.
int LeadingNumber(const std::wstring& text)
{
    int value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9' || value > 100000) {
            break;
        }
        value = value * 10 + (c - L'0');
    }
    return value;
}

// "vek"."global"."manifest_id" as text; empty when absent or not text.
std::wstring ManifestIdText(const ManifestDocument& manifest)
{
    return manifest.Read([](const nlohmann::json& root) { return ManifestAccess::ManifestId(root); });
}

} // namespace

VekUIEngine::VekUIEngine() = default;

VekUIEngine::~VekUIEngine()
{
    // Workers must not call into a half-destroyed engine: stop the jobs and cut the slots first.
    try {
        if (m_JobEngine) {
            m_JobEngine->Stop(true);
        }
    } catch (...) {
        QK_LOG_ERROR(L"the job engine could not be stopped");
    }
    m_JobEventConnection->disconnect();
    m_ProgressConnection->disconnect();
    m_BaseUI.reset();
    m_Tray.reset();
    m_trayWindow = nullptr;
}

bool VekUIEngine::getRestartCommandLine(std::wstring& commandLine) const
{
    commandLine = m_RestartCommandLine;
    return true;
}

HWND VekUIEngine::trayWindow() const
{
    HWND window = m_trayWindow.load();
    return (window != nullptr && ::IsWindow(window)) ? window : nullptr;
}

// ---- the start ------------------------------------------------------------------------------

HRESULT VekUIEngine::Start(const wchar_t* exePath, const wchar_t* cmdLine)
{
    if (exePath == nullptr) {
        return E_INVALIDARG;
    }
    m_exePath = exePath;
    if (cmdLine != nullptr) {
        setCommandLine(cmdLine);
    }

    bool scheduled = false;
    if (hasSwitch(switches::DISABLE_AUTOMATIC_UPGRADE)) {
        QK_LOG_INFO(L"ignore SCHEDULE_TO if DISABLE_AUTOMATIC_UPGRADE is specified");
    } else {
        scheduled = hasSwitch(switches::SCHEDULE_TO) || hasSwitch(switches::DISABLE_SCHEDULE);
    }

    checkUserSession();

    auto local = std::make_shared<ManifestDocument>();
    HRESULT hr = loadManifest(*local);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Unable to load manifest.");
        return hr;
    }

    decideSilentMode(*local);

    if (!scheduled && upgradeConfirmationPending(*local)) {
        QK_LOG_INFO(L"Upgrade confirmation key detected, delete key to close existing vek. Waiting until running vek "
                    L"finished...");
        if (!waitUpgradeConfirmationGone(*local, kUpgradeKeyWaitMs)) {
            QK_LOG_ERROR(L"The upgrade confirmation key stayed for %u ms, giving up",
                         static_cast<unsigned>(kUpgradeKeyWaitMs));
            return VEK_E_ANOTHER_INSTANCE;
        }
        const std::wstring id = ManifestIdText(*local);
        if (canRun(id.c_str()) == S_OK) {
            // The engine base's start takes the lock again.
            g_SingleInstance.Release();
        }
        QK_LOG_INFO(L"Continue to bootstrap");
    }

    hr = checkOmblPrerequisites(*local);
    if (FAILED(hr)) {
        return hr;
    }

    bool bootstrapped = false;
    int32_t bootstrap = 0;
    if (scheduled || m_RestartInUserSession) {
        const bool restartInSession = m_RestartInUserSession;
        local->Modify([restartInSession](json& root) {
            if (!root.is_object()) {
                return;
            }
            json& options = root["vek"]["bootstrap"]["options"];
            options["shouldCreateRunTask"] = false;
            options["shouldCreateShortcuts"] = false;
            options["ask_location"] = false;
            if (restartInSession) {
                options["honor_restart"] = false;
            }
        });
        std::shared_ptr<VekJobEngine> engine;
        qkExceptionInfo info;
        try {
            // The data reporter does not exist yet: this bootstrap's reports are skipped.
            engine = createJobEngine(m_DataReporter, local, m_exePath);
            bootstrap = runBootstrap(*engine);
            // The launcher copy that the bootstrap made (or the running launcher when it made
            // none) is what the user's session and the postponed task start.
            m_RestartCommandLine = engine->GetInstalledBinaryPath();
            if (m_RestartCommandLine.empty()) {
                m_RestartCommandLine = engine->GetCurrentPath();
            }
            engine->CleanUp(VekJobEngine::eCleanRegistry);
        } catch (const JobEngineException& e) {
            QK_LOG_ERROR(L"Unable to boostrap job, hr=0x%08X", static_cast<unsigned>(e.GetCode()));
            return e.GetCode();
        }
        QK_CATCH(info)
        if (info.HasError()) {
            QK_LOG_ERROR(L"Unexpected exception during job bootrapping job (%s)", info.GetMessage());
            return E_FAIL;
        }
        bootstrapped = true;
    }

    if (scheduled) {
        m_RestartRequested = bootstrap == VekJobEngine::eBootstrapRelaunched;
        m_RestartElevatedRequested = bootstrap == VekJobEngine::eBootstrapNeedsElevation;
        if (bootstrap == VekJobEngine::eBootstrapCleanedUp) {
            // The reboot limit was passed and the bootstrap cleaned up: the run ends here, as an
            // unscheduled one does (no window would ever end the message loop).
            return VEK_E_CLEANUP;
        }
        if (bootstrap == VekJobEngine::eBootstrapContinue) {
            bool runNow = false;
            handleScheduledRun(commandLine(), runNow);
            if (!runNow) {
                m_RestartRequested = false;
                m_ScheduledToRunLater = true;
                return S_OK;
            }
        }
    }
    if (m_RestartInUserSession) {
        return S_OK;
    }
    if (!bootstrapped || bootstrap == VekJobEngine::eBootstrapContinue) {
        return VekEngineBase::Start(m_exePath.c_str());
    }
    return S_OK;
}

bool VekUIEngine::handleScheduledRun(const std::wstring& commandLineText, bool& runNow)
{
    if (hasSwitch(switches::DISABLE_SCHEDULE)) {
        deletePostponedTask();
        return true;
    }
    if (hasSwitch(switches::SCHEDULE_TO)) {
        const std::wstring value = switchValue(switches::SCHEDULE_TO);
        const int schedule = LeadingNumber(value);
        if (schedule >= 1 && schedule <= kScheduleKinds) {
            return registerPostponedTask(m_RestartCommandLine, commandLineText, schedule - 1, runNow);
        }
        QK_LOG_INFO(L"Unknown schedule '%s'.", value.c_str());
    }
    return true;
}

void VekUIEngine::checkUserSession()
{
    if (activeSessionId() != static_cast<DWORD>(-1) && !inInteractiveSession() &&
        !hasSwitch(switches::IGNORE_USER_SESSION)) {
        m_RestartInUserSession = true;
    }
}

void VekUIEngine::decideSilentMode(const ManifestDocument& manifest)
{
    if (hasSwitch(switches::SILENT) || !inInteractiveSession()) {
        QK_LOG_INFO(L"SILENT switch specified or no user session, force VEK to be in silent mode");
        m_Silent = true;
    } else if (hasSwitch(switches::UNATTENDED)) {
        m_Silent = false;
    } else {
        // The install job's distribution.ui_mode.
        m_Silent = manifest.ReadJob(0, [](const json* job) {
            return job != nullptr && ManifestAccess::IsSilentUIMode(*job);
        });
    }
}

HRESULT VekUIEngine::checkOmblPrerequisites(const ManifestDocument& manifest)
{
    json installJob;
    if (!manifest.GetJob(0, installJob)) {
        return S_OK;
    }
    int32_t exitCode = g_ExitCode;
    const HRESULT hr = CheckOmblPrerequisites(
        ReadOmblPackage(installJob),
        [this](const wchar_t* code, const wchar_t* codeWow64) { return installedEndpointVersion(code, codeWow64); },
        exitCode);
    g_ExitCode = exitCode;
    return hr;
}

// ---- the engine interface ---------------------------------------------------------------------

HRESULT VekUIEngine::loadManifest(ManifestDocument& manifest)
{
    try {
        const HRESULT loaded = loadManifestFromExecutable(m_exePath, manifest);
        if (loaded != S_OK) {
            QK_LOG_ERROR(L"Unable to load manifest");
            return loaded;
        }
        ManifestSwitches manifestSwitches;
        manifestSwitches.forceInstall = hasSwitch(switches::FORCE_INSTALL);
        manifestSwitches.image = hasSwitch(switches::IMAGE);
        CManifest view(manifest, manifestSwitches);
        view.init();
        const HRESULT selected = view.checkInstallJob();
        if (FAILED(selected)) {
            return selected;
        }
        view.prepare();
        localizeShortcutDescriptions(manifest);
        hideStartMenuShortcut(manifest);
        m_registryContext = manifest.Snapshot();
        return selected;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

void VekUIEngine::localizeShortcutDescriptions(ManifestDocument& manifest)
{
    CVekResourceLoader& strings = CVekResourceLoader::Instance();
    const std::string launch = ToUtf8(strings.GetString(kStringLaunchDescription));
    const std::string folder = ToUtf8(strings.GetString(kStringFolderDescription));
    manifest.Modify([&](json& root) {
        if (!root.is_object()) {
            return;
        }
        const auto vekIt = root.find("vek");
        if (vekIt == root.end() || !vekIt->is_object()) {
            return;
        }
        const auto bootstrapIt = vekIt->find("bootstrap");
        if (bootstrapIt == vekIt->end() || !bootstrapIt->is_object()) {
            return;
        }
        const auto shortcuts = bootstrapIt->find("shortcuts");
        if (shortcuts == bootstrapIt->end() || !shortcuts->is_array()) {
            return;
        }
        for (json& entry : *shortcuts) {
            if (!entry.is_object()) {
                continue;
            }
            for (const auto& [kind, text] : {std::pair<const char*, const std::string*>{"executable", &launch},
                                             std::pair<const char*, const std::string*>{"folder", &folder}}) {
                const auto it = entry.find(kind);
                if (it != entry.end() && it->is_object() && it->contains("description") && !text->empty()) {
                    it->at("description") = *text;
                }
            }
        }
    });
}

void VekUIEngine::hideStartMenuShortcut(ManifestDocument& manifest)
{
    if (!isWindows8OrLater()) {
        return;
    }
    manifest.Modify([](json& root) {
        if (!root.is_object()) {
            return;
        }
        const auto vekIt = root.find("vek");
        if (vekIt == root.end() || !vekIt->is_object()) {
            return;
        }
        const auto global = vekIt->find("global");
        if (global != vekIt->end() && global->is_object()) {
            (*global)["STARTMENU_SHORTCUT_HIDE"] = 1;
        }
    });
}

std::shared_ptr<VekDataReporter> VekUIEngine::createDataReporter(ManifestDocument& manifest)
{
    // The reporter reads the manifest through a pointer: it gets a copy that lives with the engine.
    m_reporterManifest = manifest.Snapshot();
    auto reporter = std::make_shared<VekPingReporter>(&m_reporterManifest);
    reporter->prepare();
    return reporter;
}

HKEY VekUIEngine::registryRoot() const
{
    json context = m_registryContext;
    VekRegistryState state(context, nullptr, commandLine());
    return state.Root();
}

HRESULT VekUIEngine::canRun(const wchar_t* manifestId)
{
    VekInstanceWait wait(g_SingleInstance, registryRoot(), [this](HRESULT code, bool send, const std::wstring& extra) {
        if (m_DataReporter) {
            m_DataReporter->logError(code, send, extra.c_str());
        }
    });
    wait.SetPause([this](DWORD milliseconds) { instanceWaitPause(milliseconds); });
    wait.SetDataFolder(dataFolder());
    const bool longWait = hasSwitch(switches::SILENT) || hasSwitch(switches::RELAUNCHED);
    return wait.canRun(manifestId, longWait);
}

bool VekUIEngine::incrementFailureCount(const wchar_t* manifestId)
{
    VekInstanceWait wait(g_SingleInstance, registryRoot(), [this](HRESULT code, bool send, const std::wstring& extra) {
        if (m_DataReporter) {
            m_DataReporter->logError(code, send, extra.c_str());
        }
    });
    return wait.incrementFailureCount(manifestId);
}

HRESULT VekUIEngine::prerequisitesSatisified()
{
    return CheckPrerequisites(systemFacts(), m_Silent, [this](UINT stringId) { messageBox(stringId, MB_ICONERROR); });
}

HRESULT VekUIEngine::initialize()
{
    try {
        if (m_JobEngine) {
            if (auto manifest = m_JobEngine->GetManifest()) {
                SetProductNameStringId(*manifest);
            }
        }
        TraceStartupStep(StartupStep::TrayAndDialog);
        HWND window = nullptr;
        const HRESULT created = createTray(window);
        if (window == nullptr || !::IsWindow(window)) {
            const HRESULT failure = FAILED(created) ? created : VEK_E_TRAY_WINDOW;
            QK_LOG_ERROR(L"The tray window could not be created, hr=0x%08X", static_cast<unsigned>(failure));
            if (m_DataReporter) {
                m_DataReporter->logError(VEK_E_TRAY_WINDOW, false);
            }
            // Without the tray window nothing would ever end the message loop.
            return VEK_E_TRAY_WINDOW;
        }
        m_trayWindow = window;
        TraceStartupStep(StartupStep::BrowserProxy);
        m_Manifest->Modify([](json& root) { VekProxySettings().determineBrowserProxySettings(root); });
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT VekUIEngine::OnJobEvent(int32_t event, const json& job)
{
    qkExceptionInfo info;
    try {
        switch (event) {
        case eEngineEnd:
            saveState();
            if (m_RestartRequested) {
                // Ends the message loop so that wWinMain relaunches; this close cleans nothing up.
                if (m_Tray) {
                    m_Tray->closeForRelaunch();
                } else if (HWND tray = trayWindow()) {
                    ::PostMessageW(tray, WM_CLOSE, 0, 0);
                }
            }
            break;
        case eFailover: {
            HRESULT code = E_UNEXPECTED;
            HRESULT jobError = S_OK;
            HRESULT downloadError = S_OK;
            if (ManifestAccess::JobErrorCode(job, jobError) && jobError == VEK_E_DOWNLOAD_FAILED &&
                ManifestAccess::LastDownloadError(job, downloadError)) {
                code = downloadError;
            } else if (ManifestAccess::JobErrorCode(job, jobError)) {
                code = jobError;
            }
            reportOnce(code);
            break;
        }
        case eJobEngineRestartAsAdmin:
            m_RestartRequested = true;
            break;
        case eJobDownloadStageStart:
            m_LastPostedProgress = 0;
            m_ThrottleProgress = true;
            break;
        case eFatalError: {
            HRESULT code = E_UNEXPECTED;
            if (!ManifestAccess::JobErrorCode(job, code) && !ManifestAccess::LastPluginError(job, code)) {
                code = E_UNEXPECTED;
            }
            reportOnce(code);
            break;
        }
        case eJobPluginFailure: {
            HRESULT code = E_FAIL;
            if (!ManifestAccess::LastPluginError(job, code)) {
                code = E_FAIL;
            }
            reportOnce(code);
            break;
        }
        case eJobInstallErrorRetryDownload: {
            HRESULT code = E_UNEXPECTED;
            if (!ManifestAccess::LastPluginError(job, code)) {
                code = E_UNEXPECTED;
            }
            reportOnce(code);
            break;
        }
        default:
            break;
        }
        postJobUpdate(event, job);
        return S_OK;
    }
    QK_CATCH(info)
    QK_LOG_ERROR(L"exception caught: %s", info.GetFullText());
    return E_UNEXPECTED;
}

void VekUIEngine::reportOnce(HRESULT code)
{
    if (m_ErrorReported.exchange(true)) {
        return;
    }
    reportError(code);
}

void VekUIEngine::postJobUpdate(int32_t event, const json& job)
{
    HWND tray = trayWindow();
    if (tray == nullptr) {
        return;
    }
    auto record = std::make_unique<VekJobUpdateRecord>();
    record->job = job;
    record->event = event;
    PostJobUpdateRecord(tray, WM_VEK_JOB_UPDATE, std::move(record));
}

void VekUIEngine::OnJobProgress(uint64_t total, uint64_t done)
{
    try {
        if (!m_ThrottleProgress || total == 0) {
            postProgress(total, done);
            return;
        }
        const uint64_t last = m_LastPostedProgress;
        const uint64_t step = (done - last) * 100 / total;
        if (step == 0 && done != total && done >= last) {
            return;
        }
        m_LastPostedProgress = done;
        postProgress(total, done);
    } catch (...) {
        QK_LOG_ERROR(L"progress record not posted");
    }
}

void VekUIEngine::postProgress(uint64_t total, uint64_t done)
{
    HWND tray = trayWindow();
    if (tray == nullptr) {
        return;
    }
    auto record = std::make_unique<VekProgressRecord>();
    record->total = total;
    record->done = done;
    PostProgressRecord(tray, WM_VEK_JOB_PROGRESS, std::move(record));
}

// ---- dialogs and prompts ----------------------------------------------------------------------

int VekUIEngine::showUI(HRESULT page)
{
    showBaseUI(page);
    return 0;
}

void VekUIEngine::showBaseUI(HRESULT page)
{
    const HRESULT hr = createBaseUI(page);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"m_BaseUI->get() is NULL");
    }
}

int VekUIEngine::showAnotherInstancePrompt()
{
    if (m_Silent) {
        g_ExitCode = ExitAnotherInstance;
        return 0;
    }
    const std::wstring direction = CVekResourceLoader::Instance().GetString(kStringLayout);
    UINT type = MB_OK;
    if (IsRightToLeftLayout(direction)) {
        type |= MB_RTLREADING;
    }
    messageBox(kStringAnotherInstance, type);
    return 0;
}

// ---- the outside world ------------------------------------------------------------------------

int VekUIEngine::messageBox(UINT stringId, UINT type)
{
    CVekResourceLoader& strings = CVekResourceLoader::Instance();
    const std::wstring text = strings.GetString(stringId);
    const std::wstring caption = strings.GetString(GetProductNameStringId());
    return ::MessageBoxW(nullptr, text.c_str(), caption.c_str(), type);
}

void VekUIEngine::reportError(HRESULT code)
{
    void* caller = nullptr;
    qkLib::GetCallerAddress(&caller);
    qkTalErrorInstance report;
    // The failing result as the second number; every report may carry a dump.
    report.Report(L"VekLauncher", reinterpret_cast<ULONG_PTR>(caller), 0, static_cast<DWORD>(code), 0, false, true,
                  1, nullptr);
}

bool VekUIEngine::deletePostponedTask()
{
    CTaskScheduler scheduler;
    if (!scheduler.Connect()) {
        return false;
    }
    scheduler.DeleteTask();
    return true;
}

bool VekUIEngine::registerPostponedTask(const std::wstring& launcherPath, const std::wstring& commandLineText,
                                        int kind, bool& runNow)
{
    CTaskScheduler scheduler;
    if (!scheduler.Connect()) {
        return false;
    }
    return SUCCEEDED(scheduler.RegisterPostponedTask(launcherPath.c_str(), commandLineText.c_str(), kind, runNow));
}

DWORD VekUIEngine::activeSessionId()
{
    return VekTools::getActiveSessionId(true);
}

bool VekUIEngine::inInteractiveSession()
{
    return VekTools::isProcessInInteractiveSession();
}

bool VekUIEngine::upgradeConfirmationPending(const ManifestDocument&)
{
    return CManifest::isWaitingForUpgradeConfirmation();
}

bool VekUIEngine::waitUpgradeConfirmationGone(const ManifestDocument& manifest, DWORD timeoutMs)
{
    // Counted in pauses rather than read from the clock, so that a test's pause bounds it as well.
    for (DWORD waited = 0; upgradeConfirmationPending(manifest); waited += kUpgradeKeyPollMs) {
        if (waited >= timeoutMs) {
            return false;
        }
        instanceWaitPause(kUpgradeKeyPollMs);
    }
    return true;
}

HRESULT VekUIEngine::loadManifestFromExecutable(const std::wstring& exePath, ManifestDocument& manifest)
{
    std::shared_ptr<const json> document;
    const HRESULT hr = VekOwnManifest::Load(exePath, document);
    if (hr != S_OK) {
        return hr;
    }
    return manifest.Adopt(*document);
}

int VekUIEngine::installedEndpointVersion(const wchar_t* upgradeCode, const wchar_t* upgradeCodeWow64)
{
    CMsiUtils msi;
    return msi.CompareInstalledVersion(upgradeCode, upgradeCodeWow64, nullptr);
}

SystemFacts VekUIEngine::systemFacts()
{
    return SystemFacts::Read();
}

void VekUIEngine::instanceWaitPause(DWORD milliseconds)
{
    ::Sleep(milliseconds);
}

bool VekUIEngine::isWindows8OrLater()
{
    return IsWindows8OrGreater();
}

HRESULT VekUIEngine::createTray(HWND& window)
{
    window = nullptr;
    auto tray = std::unique_ptr<VekTray>(new (std::nothrow) VekTray(m_DataReporter, m_JobEngine));
    if (!tray) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = tray->Create();
    window = tray->hwnd();
    m_Tray = std::move(tray);
    return hr;
}

HRESULT VekUIEngine::createBaseUI(HRESULT page)
{
    auto dialog = std::unique_ptr<VekBaseUI>(new (std::nothrow) VekBaseUI(m_DataReporter, m_JobEngine, page));
    if (!dialog) {
        return E_OUTOFMEMORY;
    }
    m_BaseUI = std::move(dialog);
    m_BaseUI->Create(nullptr);
    if (::IsWindow(m_BaseUI->hwnd())) {
        m_BaseUI->showWindow(SW_SHOWNORMAL);
    }
    return S_OK;
}

} // namespace vek
