#include "engine/report/VekPingReporter.h"

#include "services/launcher/VekTokenMask.h"

#include "common/base/qkStringConvert.h"
#include "common/base/qkWideFormat.h"
#include "common/errors/qkLog.h"
#include "net/proxy/VekProxySettings.h"
#include "services/launcher/VekResultCodes.h"
#include "engine/manifest/ManifestAccess.h"
#include "engine/manifest/ManifestJson.h"
#include "services/launcher/VekJobKeys.h"
#include "engine/manifest/VekOwnManifest.h"
#include "net/proxy/ManifestProductKind.h"
#include "net/proxy/ManifestProxySettings.h"
#include "net/proxy/IBrowserProxyProvider.h"
#include "services/launcher/VekTools.h"
#include "services/launcher/VekUtil.h"
#include "common/base/qkTextCompare.h"

#include <atomic>

namespace vek {

namespace {

std::atomic<bool> g_pingsOff{false};

// A reader of ManifestAccess applied to the install job; the reader's default without one.
template <typename Value>
Value InstallJobValue(const nlohmann::json& root, Value (*read)(const nlohmann::json& job))
{
    const nlohmann::json* job = ManifestAccess::FirstJob(root);
    return job != nullptr ? read(*job) : Value();
}

std::wstring UpperHex(unsigned value)
{
    wchar_t buffer[16] = {};
    qkLib::FormatWide(buffer, 16, L"%X", value);
    return buffer;
}

long long IntegerAt(const nlohmann::json& job, const char* name)
{
    return ManifestJson::Integer(ManifestJson::Member(&job, name), name, 0);
}

} // namespace

VekPingReporter::VekPingReporter(const json* manifest) : VekDataReporter(manifest)
{
    m_moduleNumber = 9091;
    installerOptions = [] { return VekTools::cmdSwitchString(L"INSTALLER_OPTIONS"); };
    browserProxy = CreateDefaultBrowserProxyProvider();
}

nlohmann::json& VekPingReporter::ProcessManifest()
{
    static json manifest;
    return manifest;
}

std::shared_ptr<VekPingReporter>& VekPingReporter::ProcessReporter()
{
    static std::shared_ptr<VekPingReporter> reporter;
    return reporter;
}

bool VekPingReporter::PingsOff()
{
    return g_pingsOff.load();
}
void VekPingReporter::SetPingsOff(bool off)
{
    g_pingsOff.store(off);
}

HRESULT VekPingReporter::logConsent(int)
{
    return 0;
}
HRESULT VekPingReporter::logInitializationStage(int, int)
{
    return 0;
}

HRESULT VekPingReporter::logError(HRESULT, bool, json&)
{
    ::OutputDebugStringW(L"empty log error");
    return 0;
}

HRESULT VekPingReporter::logEvent(int, const json&, bool)
{
    ::OutputDebugStringW(L"empty log event");
    return 0;
}

void VekPingReporter::sendModuleFData(json&)
{
    ::OutputDebugStringW(L"empty log send module FDATA");
}

bool VekPingReporter::prepare()
{
    if (PingsOff())
        return false;
    json& process = ProcessManifest();
    if ((process.is_null() || (process.is_object() && process.empty())) && m_manifest)
        process = *m_manifest;
    initMachineID();
    return true;
}

std::wstring VekPingReporter::BaseQuery()
{
    const json& manifest = ProcessManifest();
    std::wstring q = L"?module=" + std::to_wstring(m_moduleNumber);
    q += L"&platform=windows&product=VEK&version=5.17.1.211";
    q += L"&g=" + PercentEncode(ManifestAccess::TelemetryProductName(manifest));
    q += L"&l=" + PercentEncode(InstallJobValue(manifest, &ManifestAccess::CustomerId));
    q += L"&m=" + PercentEncode(InstallJobValue(manifest, &ManifestAccess::DomainId));
    q += L"&MID=" + PercentEncode(m_machineId);
    q += L"&language=" + LanguageText(languageId());
    q += L"&OS=" + OsText();
    return q;
}

int VekPingReporter::InstallMode()
{
    std::wstring mode = installerOptions();
    if (!qkLib::EqualsOrdinalNoCase(mode, L"SILENT") && !qkLib::EqualsOrdinalNoCase(mode, L"INTERACTIVE") && !qkLib::EqualsOrdinalNoCase(mode, L"UNATTENDED")) {
        mode = InstallJobValue(ProcessManifest(), &ManifestAccess::UIMode);
        if (mode.empty())
            mode = L"UNATTENDED";
    }
    if (qkLib::EqualsOrdinalNoCase(mode, L"SILENT"))
        return 2;
    if (qkLib::EqualsOrdinalNoCase(mode, L"UNATTENDED"))
        return 1;
    if (qkLib::EqualsOrdinalNoCase(mode, L"INTERACTIVE"))
        return 0;
    return -1;
}

int VekPingReporter::ProxyKind()
{
    const json& manifest = ProcessManifest();
    const VEK_PROXY_TYPE type = GetManifestProxyType(manifest);
    if (IsEndpointManifest(manifest) && type != eProxyAutodetect)
        return type;
    if (!ManifestProxyServer(manifest).empty())
        return eProxyCustom;
    // The same browser discovery as the proxy selection: Internet Settings or Firefox's profile,
    // whichever browser is the default. The kind says only whether the browser uses a proxy.
    Tolk::BrowserProxy proxy;
    const HRESULT hr = browserProxy ? browserProxy->GetProxyFromBrowser(proxy, false) : E_POINTER;
    if (FAILED(hr))
        QK_LOG_WARNING(L"Browser proxy settings not read, hr=0x%08X", hr);
    return proxy.useProxy ? 12 : 2;
}

void VekPingReporter::Send(const std::wstring& query)
{
    const std::wstring url = ManifestAccess::ReportingUrl(ProcessManifest());
    const HRESULT hr = submitToServer(url, query);
    if (SUCCEEDED(hr)) {
        AppendToUrlFile(url, query);
        return;
    }
    SetPingsOff(true);
}

void VekPingReporter::sendStartPing(const std::wstring& commandLine, const std::wstring& account)
{
    try {
        if (PingsOff() || !prepare())
            return;
        std::lock_guard<std::mutex> lock(m_lock);
        const json& manifest = ProcessManifest();
        // The manifest view's tests of the install job: "true" as written, create_msi of the job only.
        const int packageKind = InstallJobValue(manifest, &ManifestAccess::IsGenericPackage) ? 2
                                : InstallJobValue(manifest, &ManifestAccess::CreatesMsi)     ? 1
                                                                                             : 0;
        wchar_t module[MAX_PATH] = {};
        ::GetModuleFileNameW(nullptr, module, MAX_PATH);

        std::wstring q = BaseQuery();
        q += L"&a=VEK_START";
        q += L"&b=" + PercentEncode(ManifestAccess::ManifestId(manifest));
        q += L"&c=" + PercentEncode(ManifestAccess::DistributionType(manifest));
        q += L"&d=" + std::to_wstring(packageKind);
        q += L"&f=" + std::to_wstring(InstallMode());
        if (!account.empty())
            q += L"&k=" + PercentEncode(account);
        if (!commandLine.empty())
            q += L"&j=" + PercentEncode(MaskCommandLineToken(commandLine));
        q += L"&i=" + PercentEncode(module);
        q += L"&e=" + std::to_wstring(ProxyKind());
        Send(q);
    } catch (...) {
        QK_LOG_ERROR(L"Unexpected error during sending ping");
    }
}

void VekPingReporter::sendFinishPing(int exitCode, HRESULT result)
{
    try {
        if (PingsOff() || !prepare())
            return;
        std::lock_guard<std::mutex> lock(m_lock);
        std::wstring q = BaseQuery();
        q += L"&a=VEK_FINISH&h=" + std::to_wstring(exitCode) + L"&o=" + UpperHex(static_cast<unsigned>(result));
        Send(q);
    } catch (...) {
        QK_LOG_ERROR(L"Unexpected error during sending ping");
    }
}

HRESULT VekPingReporter::logJobError(HRESULT code, bool, const json& job, const wchar_t* extra, int, int)
{
    try {
        if (PingsOff())
            return 0;
        const long long jobError = IntegerAt(job, jobkeys::kJobErrorCode);
        const long long downloadError = IntegerAt(job, jobkeys::kLastDownloadError);
        const long long otherErrors = IntegerAt(job, jobkeys::kOtherErrors);
        const long long validationError = IntegerAt(job, jobkeys::kValidationError);
        std::lock_guard<std::mutex> lock(m_lock);
        std::wstring q = BaseQuery();
        if (code == VEK_E_BACKEND_CHECK) {
            q += L"&a=BACKEND_VALIDATION&o=" +
                 PercentEncode(ManifestJson::WideText(ManifestJson::Member(&job, jobkeys::kJobErrorDescription),
                                                      jobkeys::kJobErrorDescription));
        } else {
            std::wstring details = L"je:" + UpperHex(static_cast<unsigned>(jobError)) + L",de:" +
                                   UpperHex(static_cast<unsigned>(downloadError)) + L",ve:" +
                                   UpperHex(static_cast<unsigned>(validationError)) + L",oe:" +
                                   UpperHex(static_cast<unsigned>(otherErrors));
            if (extra) {
                std::wstring text = extra;
                for (size_t at = text.find(L"&g="); at != std::wstring::npos; at = text.find(L"&g=", at + 1))
                    text.replace(at, 3, L",");
                details += L",ed:" + text;
            }
            q += L"&a=JOB_FAILURE&h=" + UpperHex(static_cast<unsigned>(code)) + L"&o=" + PercentEncode(details);
        }
        Send(q);
    } catch (...) {
        QK_LOG_ERROR(L"Unexpected error during sending ping");
    }
    return 0;
}

namespace {

VekPingReporter* EnsureProcessReporter()
{
    auto& reporter = VekPingReporter::ProcessReporter();
    if (!VekPingReporter::PingsOff() && !reporter) {
        nlohmann::json& manifest = VekPingReporter::ProcessManifest();
        std::wstring path;
        GetModulePath(nullptr, path);
        std::shared_ptr<const nlohmann::json> loaded;
        if (VekOwnManifest::Load(path, loaded) == S_OK)
            manifest = *loaded;
        else if (manifest.is_null() || (manifest.is_object() && manifest.empty()))
            VekPingReporter::SetPingsOff(true);
    }
    if (!reporter)
        reporter = std::make_shared<VekPingReporter>(&VekPingReporter::ProcessManifest());
    return reporter.get();
}

} // namespace

void SendStartPing(const std::wstring& commandLine, const std::wstring& account)
{
    EnsureProcessReporter()->sendStartPing(commandLine, account);
}

void SendFinishPing(int exitCode, HRESULT result)
{
    EnsureProcessReporter()->sendFinishPing(exitCode, result);
}

} // namespace vek
