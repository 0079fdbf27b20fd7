#include "engine/base/VekEngineBase.h"

#include "common/errors/qkLog.h"
#include "common/system/qkCommandLine.h"
#include "engine/jobengine/VekJobEngine.h"
#include "engine/launcher/VekSwitches.h"
#include "engine/log/VekStartupTrace.h"
#include "engine/manifest/JobEngineException.h"
#include "engine/manifest/ManifestDocument.h"
#include "engine/report/VekDataReporter.h"
#include "engine/state/IEngineErrorSink.h"
#include "engine/state/VekStateFile.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekTools.h"
#include "services/launcher/VekUtil.h"

#include <new>

namespace vek {

namespace {

// The event code of the launch ping.
constexpr int kLaunchPingEvent = 256;

// Passes the state file's error reports to the engine's data reporter (none: not reported).
class ReporterErrorSink : public IEngineErrorSink {
public:
    explicit ReporterErrorSink(std::shared_ptr<VekDataReporter> reporter) : m_reporter(std::move(reporter)) {}
    void logError(HRESULT code, bool send, const std::wstring& extra) override
    {
        if (m_reporter) {
            m_reporter->logError(code, send, extra.c_str());
        }
    }

private:
    std::shared_ptr<VekDataReporter> m_reporter;
};

bool IsEmptyDocument(const nlohmann::json& root)
{
    return root.is_null() || ((root.is_object() || root.is_array()) && root.empty());
}

} // namespace

VekEngineBase::VekEngineBase()
    : m_Manifest(std::make_shared<ManifestDocument>()),
      m_JobEventConnection(std::make_shared<boost::signals2::scoped_connection>()),
      m_ProgressConnection(std::make_shared<boost::signals2::scoped_connection>()),
      m_commandLine(::GetCommandLineW())
{
}

// Members go last first: the connections, then the manifest, the job engine and the reporter.
VekEngineBase::~VekEngineBase() = default;

void VekEngineBase::setCommandLine(std::wstring commandLine)
{
    m_commandLine = std::move(commandLine);
}

void VekEngineBase::setDataFolder(std::wstring folder)
{
    m_dataFolder = std::move(folder);
}

std::wstring VekEngineBase::dataFolder() const
{
    return m_dataFolder.empty() ? VekStateFile::DefaultDataFolder() : m_dataFolder;
}

bool VekEngineBase::hasSwitch(const wchar_t* name) const
{
    qkCommandLine commandLine;
    return commandLine.Parse(m_commandLine.c_str()) && VekTools::hasCmdSwitch(commandLine, name);
}

std::wstring VekEngineBase::switchValue(const wchar_t* name) const
{
    qkCommandLine commandLine;
    if (!commandLine.Parse(m_commandLine.c_str())) {
        return {};
    }
    return VekTools::cmdSwitchString(commandLine, name);
}

std::shared_ptr<VekJobEngine> VekEngineBase::createJobEngine(std::shared_ptr<VekDataReporter> reporter,
                                                             std::shared_ptr<ManifestDocument> manifest,
                                                             const std::wstring& exePath)
{
    auto engine = std::make_shared<VekJobEngine>(std::move(reporter), std::move(manifest), exePath);
    engine->setCommandLine(m_commandLine);
    if (!m_dataFolder.empty()) {
        engine->setDataFolder(m_dataFolder);
    }
    return engine;
}

int32_t VekEngineBase::runBootstrap(VekJobEngine& engine)
{
    return engine.Bootstrap();
}

void VekEngineBase::startJobs(VekJobEngine& engine)
{
    engine.Start();
}

HRESULT VekEngineBase::Start(const wchar_t* exePath)
{
    if (exePath == nullptr) {
        return E_INVALIDARG;
    }
    // The steps run in a lambda of Start, so that their log lines carry Start's name.
    const auto sequence = [&]() -> HRESULT {
        HRESULT hr = prerequisitesSatisified();
        if (FAILED(hr)) {
            QK_LOG_ERROR(L"prerequisitesSatisified() failed, hr=0x%08X", static_cast<unsigned>(hr));
            return hr;
        }
        const HRESULT loaded = loadManifest(*m_Manifest);
        if (FAILED(loaded)) {
            return loaded;
        }
        QK_LOG_INFO(L"Loaded manifest successfully");
        TraceStartupStep(StartupStep::Reporters);
        m_DataReporter = createDataReporter(*m_Manifest);
        if (m_Manifest->Read([](const json& root) { return IsEmptyDocument(root); })) {
            return loaded;
        }

        // The launch ping, once per launch: a copy the launcher started itself does not send it.
        if (!hasSwitch(switches::RELAUNCHED) && !hasSwitch(switches::MINIMIZED)) {
            if (m_DataReporter) {
                const HRESULT ping = m_DataReporter->logInitializationStage(0, kLaunchPingEvent);
                if (FAILED(ping)) {
                    QK_LOG_ERROR(L"LogRandomPings() :: failure in sending the launch ping 0x%08X",
                                 static_cast<unsigned>(ping));
                }
            } else {
                QK_LOG_ERROR(L"m_DataReporter is NULL");
            }
        } else {
            QK_LOG_INFO(L"Skipping Launch ping, if process relaunched");
        }

        // A missing or non-text id throws the JSON library's error: the start ends with E_FAIL.
        const std::string idText = m_Manifest->Read(
            [](const json& root) { return root.at("vek").at("global").at("manifest_id").get<std::string>(); });
        const std::wstring manifestId = FromUtf8(idText);
        if (manifestId.size() > kMaxRelaunchManifestId) {
            QK_LOG_INFO(L"Manifest ID is more than %d characters, VEK will not relaunch on LogOn",
                        static_cast<int>(kMaxRelaunchManifestId));
        }

        hr = canRun(manifestId.c_str());
        if (FAILED(hr)) {
            return hr;
        }
        QK_LOG_INFO(L"canRun() succeeded, creating VekJobEngine object");
        m_JobEngine = createJobEngine(m_DataReporter, m_Manifest, exePath);

        *m_JobEventConnection = m_JobEngine->subscribeJobEvents(
            [this](int32_t event, const json& job) -> int32_t { return forwardJobEvent(event, job); });
        *m_ProgressConnection =
            m_JobEngine->subscribeJobProgress([this](uint64_t total, uint64_t done) { forwardJobProgress(total, done); });

        const int32_t bootstrap = runBootstrap(*m_JobEngine);
        switch (bootstrap) {
        case VekJobEngine::eBootstrapContinue: {
            const HRESULT initialized = initialize();
            if (FAILED(initialized)) {
                return initialized;
            }
            QK_LOG_INFO(L"Starting the job engine");
            qkCommandLine commandLine;
            if (commandLine.Parse(m_commandLine.c_str()) && !commandLine.HasSwitch(switches::SHOWONECLICK) &&
                !commandLine.HasSwitch(switches::SHOWFAILOVER)) {
                TraceStartupStep(StartupStep::Jobs);
                startJobs(*m_JobEngine);
            }
            return initialized;
        }
        case VekJobEngine::eBootstrapAskLocation:
            return initialize();
        case VekJobEngine::eBootstrapCleanedUp:
            return VEK_E_CLEANUP;
        case VekJobEngine::eBootstrapRelaunched:
            QK_LOG_INFO(L"Restarting, Bootstrap() returned %d", static_cast<int>(bootstrap));
            m_RestartRequested = true;
            return S_OK;
        case VekJobEngine::eBootstrapNeedsElevation:
            QK_LOG_INFO(L"Restarting elevated, Bootstrap() returned %d", static_cast<int>(bootstrap));
            m_RestartElevatedRequested = true;
            return S_OK;
        default:
            return hr;
        }
    };
    try {
        return sequence();
    } catch (const JobEngineException& e) {
        QK_LOG_ERROR(L"Caught JobEngineException, hr=0x%08X", static_cast<unsigned>(e.GetCode()));
        return e.GetCode();
    } catch (const DataReporterException& e) {
        QK_LOG_ERROR(L"Caught DataReporterException, hr=0x%08X", static_cast<unsigned>(e.hr()));
        return e.hr();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::exception&) {
        return E_FAIL;
    }
}

HRESULT VekEngineBase::forwardJobEvent(int32_t event, const json& job)
{
    return OnJobEvent(event, job);
}

void VekEngineBase::forwardJobProgress(uint64_t total, uint64_t done)
{
    OnJobProgress(total, done);
}

void VekEngineBase::saveState()
{
    try {
        ReporterErrorSink sink(m_DataReporter);
        VekStateFile file(dataFolder(), &sink);
        m_Manifest->Modify([&](json& root) { file.Save(root); });
    } catch (...) {
        // Save logs and reports its own failures; only building the path or the sink can get here.
        QK_LOG_ERROR(L"the state file could not be written");
    }
}

} // namespace vek
