#include "engine/report/VekDataReporter.h"

#include "engine/report/VekMachineIdCache.h"
#include "engine/manifest/ManifestJson.h"

#include "common/base/qkCrc32.h"
#include "common/base/qkStringConvert.h"
#include "common/base/qkWideFormat.h"
#include "common/errors/qkLog.h"
#include "common/system/FileEnsureAccess.h"
#include "common/system/qkCommandLine.h"
#include "common/system/qkFile.h"
#include "common/system/qkFolderTrust.h"
#include "common/system/qkOSInfo.h"
#include "common/system/qkRegistry.h"
#include "services/launcher/VekRegistryNames.h"
#include "services/launcher/VekSilo.h"
#include "engine/manifest/VekJobStates.h"
#include "services/launcher/VekResultCodes.h"
#include "engine/manifest/ManifestAccess.h"
#include "net/proxy/ManifestProxySettings.h"
#include "services/launcher/VekUtil.h"
#include "services/launcher/VekJobKeys.h"

#include <shlwapi.h>

#include <ctime>
#include <vector>

namespace vek {

namespace {

constexpr const wchar_t* kLauncherKey = kVekRegistryKey;

std::wstring Text(const nlohmann::json* node)
{
    if (!node)
        return {};
    if (node->is_string())
        return FromUtf8(node->get<std::string>());
    if (node->is_number_integer())
        return std::to_wstring(node->get<long long>());
    return {};
}

long long Integer(const nlohmann::json* node, long long fallback = 0)
{
    if (node && node->is_number())
        return node->get<long long>();
    return fallback;
}

// The query text with its number format that carries over from field to field.
class QueryBuilder {
public:
    enum class Format { Decimal, LowerHex };

    void Raw(const std::wstring& text) { m_text += text; }
    void Value(const std::wstring& text) { m_text += PercentEncode(text); }
    void Number(long long value)
    {
        wchar_t buffer[32] = {};
        if (m_format == Format::Decimal)
            qkLib::FormatWide(buffer, 32, L"%lld", value);
        else
            qkLib::FormatWide(buffer, 32, L"%x", static_cast<unsigned>(value));
        m_text += buffer;
    }
    void Hex8(long long value)
    {
        wchar_t buffer[16] = {};
        qkLib::FormatWide(buffer, 16, L"%08x", static_cast<unsigned>(value));
        m_text += buffer;
        m_format = Format::LowerHex;
    }
    void Decimal(long long value)
    {
        m_format = Format::Decimal;
        Number(value);
    }
    void SetFormat(Format format) { m_format = format; }
    const std::wstring& TextSoFar() const { return m_text; }

private:
    std::wstring m_text;
    Format m_format = Format::Decimal;
};

// One GET of the URL through a fresh client with the process-wide proxy settings: at most two
// attempts, the second one direct when the first went through a proxy. Failures are logged in the
// caller's name. The outcome names the step that failed last (Sent on success) and its result.
enum class GetStep { Sent, Initialize, Request, Status };
struct GetOutcome {
    GetStep step;
    HRESULT hr;
};

GetOutcome GetWithProxyFallback(const std::wstring& url, const char* caller)
{
    using qkLib::LogLevel;
    CWinHTTPClient client;
    const nlohmann::json& proxy = VekDataReporter::ProxySettings();
    client.LoadProxySettings(proxy.is_null() ? nullptr : &proxy, url);
    GetOutcome outcome{GetStep::Request, S_OK};
    for (int attempt = 0; attempt < 2; ++attempt) {
        HRESULT hr = client.Initialize(L"VEK", url.c_str(), 30, false);
        if (FAILED(hr)) {
            qkLib::LogLine(LogLevel::Error, caller, __LINE__, L"httpClient.Initialize() failed, hr=0x%08X", hr);
            return {GetStep::Initialize, hr};
        }
        client.ApplyProxySettings();
        const bool viaProxy = client.IsProxyEnabled();
        if (attempt == 1)
            client.SetProxyEnabled(false);
        RequestId request = 0;
        hr = client.GetRequest(static_cast<const wchar_t*>(nullptr), &request);
        if (FAILED(hr)) {
            qkLib::LogLine(LogLevel::Error, caller, __LINE__, L"httpClient.GetRequest() failed, hr=0x%08X", hr);
            outcome = {GetStep::Request, hr};
        } else {
            DWORD status = 200;
            hr = client.GetStatus(request, &status);
            client.CloseRequest(request);
            if (SUCCEEDED(hr) && status == 200)
                return {GetStep::Sent, hr};
            qkLib::LogLine(LogLevel::Error, caller, __LINE__, L"httpClient.GetRequest() failed, hr=0x%08X, status=%lu",
                           hr, status);
            outcome = {GetStep::Status, hr};
        }
        if (!viaProxy)
            break;
    }
    return outcome;
}

bool ReadDword(HKEY root, const std::wstring& path, const wchar_t* name, DWORD& value)
{
    qkRegistry key;
    if (!key.Open(root, path.c_str(), KEY_READ))
        return false;
    return key.QueryDWORDValue(name, value) != FALSE;
}

} // namespace

std::wstring PercentEncode(const std::wstring& value)
{
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring out;
    for (unsigned char c : ToUtf8(value)) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
            c == '.' || c == '~' || c == ':' || c == ',' || c == '/' || c == '@') {
            out += static_cast<wchar_t>(c);
        } else {
            out += L'%';
            out += kDigits[c >> 4];
            out += kDigits[c & 0xF];
        }
    }
    return out;
}

std::wstring LanguageText(LANGID language)
{
    wchar_t buffer[16] = {};
    qkLib::FormatWide(buffer, 16, L"%02X.%02X", language & 0x3FF, language >> 10);
    return buffer;
}

std::wstring OsText()
{
    qkOSInfo::Initialize();
    const RTL_OSVERSIONINFOEXW& v = qkOSInfo::GetVersionInfo();
    wchar_t buffer[96] = {};
    qkLib::FormatWide(buffer, 96, L"%lu.%lu.%lu.%u.%u.%d", v.dwMajorVersion, v.dwMinorVersion, v.dwBuildNumber,
                      v.wServicePackMajor, v.wServicePackMinor, qkOSInfo::IsWow64() ? 1 : 0);
    return buffer;
}

std::wstring CheckValue(const std::wstring& query, DWORD unixTime)
{
    std::string ansi;
    qkStringConvert::WideToAnsi(query.c_str(), ansi);
    const DWORD crc = qkLib::Crc32(ansi.data(), static_cast<DWORD>(ansi.size()));
    wchar_t t[16] = {}, h[16] = {};
    qkLib::FormatWide(t, 16, L"%08x", static_cast<unsigned>(unixTime));
    qkLib::FormatWide(h, 16, L"%08x", static_cast<unsigned>(crc));
    std::wstring value = L"0";
    value += std::wstring(h, 3) + std::wstring(t, 3) + std::wstring(h + 3, 2) + std::wstring(t + 3, 2) +
             std::wstring(h + 5, 2) + std::wstring(t + 5, 2) + t[7] + h[7];
    return value;
}

HRESULT CanonicalizeURL(std::wstring& url)
{
    const DWORD flags[] = {URL_ESCAPE_UNSAFE, URL_ESCAPE_SPACES_ONLY};
    for (DWORD flag : flags) {
        std::vector<wchar_t> buffer(url.size() * 4 + 1, L'\0');
        DWORD length = static_cast<DWORD>(buffer.size());
        const HRESULT hr = ::UrlCanonicalizeW(url.c_str(), buffer.data(), &length, flag);
        if (FAILED(hr)) {
            QK_LOG_ERROR(L"UrlCanonicalizeW() failed, hr=0x%08X", hr);
            return hr;
        }
        url.assign(buffer.data(), length);
    }
    return S_OK;
}

nlohmann::json& VekDataReporter::ProxySettings()
{
    static nlohmann::json settings;
    return settings;
}

VekDataReporter::VekDataReporter(const json* manifest)
{
    machineIdSource = [](std::wstring& id) { return VekMachineIdCache::Process().Get(id); };
    selectSilo = [] { return SelectLauncherSilo(); };
    urlFileFolder = [] {
        std::wstring folder;
        GetCommonAppDataPath(folder, nullptr);
        return folder;
    };
    languageId = [] { return ::GetSystemDefaultLangID(); };
    unixTime = [] { return static_cast<DWORD>(std::time(nullptr)); };
    hasNoUiSwitch = [] {
        qkCommandLine commandLine;
        return commandLine.ParseProcessCommandLine() && commandLine.HasSwitch(L"noui");
    };
    m_moduleNumber = 9090;
    init(manifest);
}

VekDataReporter::~VekDataReporter() = default;

bool VekDataReporter::IsNullOrEmpty(const json* manifest)
{
    return !manifest || manifest->is_null() || (manifest->is_object() && manifest->empty());
}

const nlohmann::json* VekDataReporter::FirstJob() const
{
    return m_manifest != nullptr ? ManifestAccess::FirstJob(*m_manifest) : nullptr;
}

void VekDataReporter::init(const json* manifest)
{
    m_manifest = manifest;
    if (IsNullOrEmpty(manifest))
        return;
    m_urlFileName = L"URLS-" + ManifestId();
    const json* proxy = ManifestProxySettingsOf(*manifest);
    ProxySettings() = proxy ? *proxy : json();
    std::wstring sid;
    if (GetUserSIDAsString(sid) && !sid.empty())
        m_urlFileName += L"-" + sid;
    m_urlFileName += L".txt";
}

void VekDataReporter::initMachineID()
{
    // Reporting a silo failure sends module data, which asks for the identifier again: that
    // inner request returns at once instead of reporting again.
    if (!m_machineId.empty() || m_inMachineIdLookup)
        return;
    m_inMachineIdLookup = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{m_inMachineIdLookup};

    // Unlike the status reporter, this one reports a silo failure and asks for no identifier.
    if (const HRESULT silo = selectSilo(); FAILED(silo)) {
        logError(silo);
        return;
    }
    try {
        std::wstring id;
        const HRESULT hr = machineIdSource(id);
        if (FAILED(hr) || id.empty()) {
            QK_LOG_ERROR(L"zubLifecycle::RunMID() failed, hr=0x%08X", hr);
            return;
        }
        m_machineId = id;
    } catch (...) {
        QK_LOG_ERROR(L"UrlCanonicalizeW() failed, hr=0x%08X", VEK_E_REPORTER_EXCEPTION);
    }
}

HRESULT VekDataReporter::AddPSNEntry(const json& node, json& record)
{
    try {
        const json* job = &node;
        if (m_manifest && &node == m_manifest)
            job = FirstJob();
        const json* psn = ManifestJson::Member(ManifestJson::Member(job, "distribution"), "product_serial_number");
        if (psn)
            record["product_serial_number"] = *psn;
        return 0;
    } catch (const DataReporterException& e) {
        QK_LOG_ERROR(L"Error occurred. Error code : 0x%08X", e.hr());
        return e.hr();
    } catch (...) {
        QK_LOG_ERROR(L"Error occurred. Error code : 0x%08X", VEK_E_REPORTER_EXCEPTION);
        return VEK_E_REPORTER_EXCEPTION;
    }
}

std::wstring VekDataReporter::ManifestId() const
{
    return m_manifest != nullptr ? ManifestAccess::ManifestId(*m_manifest) : std::wstring();
}

std::string VekDataReporter::ManifestIdText() const
{
    return ToUtf8(ManifestId());
}

void VekDataReporter::AddJobIds(const json& job, json& record)
{
    if (const json* t = ManifestJson::Member(ManifestJson::Member(&job, "distribution"), "transaction_id"))
        record["transaction_id"] = *t;
    record["job_id"] = ManifestJson::Member(&job, "job_id") ? *ManifestJson::Member(&job, "job_id") : json("");
}

void VekDataReporter::AddConsentFlow(json& record) const
{
    if (m_manifest && IsDownloadAccepted(*m_manifest))
        record["ConsentUIFlow"] = 1;
}

std::wstring VekDataReporter::GetUrlFilePath() const
{
    return L"\\\\?\\" + urlFileFolder() + L"\\" + m_urlFileName;
}

void VekDataReporter::AppendToUrlFile(const std::wstring& url, const std::wstring& query)
{
    const std::wstring folder = urlFileFolder();
    if (folder.empty() || m_urlFileName.empty())
        return;
    qkFile::CreateDirectoryPath((L"\\\\?\\" + folder).c_str());
    // A folder that another user could have redirected gets no URL file; whoever owns it, the
    // file is checked through its handle below.
    if (FAILED(qkFolderTrust::RefuseLink(folder)))
        return;
    const std::wstring path = GetUrlFilePath();
    const bool existed = ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    // Opened without following a link, and checked through that handle: a link, a hard link to
    // another file or a file of another account is not written to. The handle shares no
    // deletion, so the name stays this file until it is closed.
    qkFile file;
    if (!file.Open(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL,
                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT)) {
        QK_LOG_ERROR(L"Failed to open %s, error %lu", path.c_str(), file.GetLastError());
        return;
    }
    if (FAILED(qkFolderTrust::RefuseOpened(file.GetHandle(), path)))
        return;
    std::string line;
    qkStringConvert::WideToAnsi((url + query).c_str(), line);
    line += "\r\n";
    if (!file.Write(line.data(), static_cast<DWORD>(line.size())))
        QK_LOG_ERROR(L"Failed to write %s, error %lu", path.c_str(), file.GetLastError());
    if (!existed) {
        // A file made by an elevated run stays writable for the user's later runs.
        const qkAccessDescription access = {{FILE_GENERIC_READ | FILE_GENERIC_WRITE, 0, 0}, {0, 0, 0}};
        try {
            qkLib::FileEnsureAccess(path.c_str(), file.GetHandle(), SE_FILE_OBJECT, access);
        } catch (...) {
            QK_LOG_WARNING(L"Failed to grant access to %s", path.c_str());
        }
    }
}

std::wstring VekDataReporter::BuildModuleQuery(const json& record)
{
    QueryBuilder q;
    const json* job0 = FirstJob();
    const json* productData = ManifestJson::Member(job0, "product_data");

    q.Raw(L"?module=");
    q.Decimal(m_moduleNumber);
    q.Raw(L"&language=" + LanguageText(languageId()));
    q.Raw(L"&product=Vallor Download Manager");
    q.Raw(L"&version=5.17.1.211");
    q.Raw(L"&pln=");
    q.Value(Text(ManifestJson::Member(productData, "product_name")));
    q.Raw(L"&plv=");
    q.Value(Text(ManifestJson::Member(productData, "product_version")));
    q.Raw(L"&OS=" + OsText());
    q.SetFormat(QueryBuilder::Format::Decimal);
    q.Raw(L"&error=");
    q.Hex8(Integer(ManifestJson::Member(&record, "error_code")));

    const std::wstring logType = Text(ManifestJson::Member(&record, "log_type"));
    if (logType == L"event") {
        q.Raw(L"&e=");
        q.Hex8(Integer(ManifestJson::Member(&record, "event_code")));
    }
    if (const json* v = ManifestJson::Member(&record, jobkeys::kRekeyStatus)) {
        q.Raw(L"&a=");
        q.Number(Integer(v));
    }
    if (const json* v = ManifestJson::Member(&record, "manifest_id")) {
        q.Raw(L"&b=");
        q.Value(Text(v));
    }
    const std::wstring jobId = Text(ManifestJson::Member(&record, "job_id"));
    if (!jobId.empty()) {
        q.Raw(L"&c=");
        q.Value(jobId);
    }
    const std::wstring transaction = Text(ManifestJson::Member(&record, "transaction_id"));
    if (!transaction.empty()) {
        q.Raw(L"&d=");
        q.Value(transaction);
    }
    if (!m_machineId.empty()) {
        q.Raw(L"&MID=");
        q.Value(m_machineId);
    }
    if (const json* v = ManifestJson::Member(&record, jobkeys::kOtherErrors)) {
        q.Raw(L"&h=");
        const long long other = Integer(v);
        if (static_cast<unsigned long long>(static_cast<unsigned>(other)) <= 600)
            q.Decimal(static_cast<unsigned>(other));
        else
            q.Hex8(other);
    }

    const HKEY root = m_manifest ? GetRegistryContext(*m_manifest) : HKEY_LOCAL_MACHINE;
    DWORD dword = 0;
    if (ReadDword(root, kLauncherKey, kFailureCountValue, dword)) {
        q.Raw(L"&i=");
        q.Number(dword);
    }
    if (!IsNullOrEmpty(m_manifest)) {
        const std::wstring manifestKey = std::wstring(kLauncherKey) + L"\\" +
                                         ManifestId();
        if (ReadDword(root, manifestKey, kFailureCountValue, dword)) {
            q.Raw(L"&j=");
            q.Number(dword);
        }
        if (ReadDword(root, manifestKey, L"RetryDownload", dword)) {
            q.Raw(L"&r=");
            q.Number(dword);
        }
        if (ReadDword(root, manifestKey + L"\\" + jobId, kFailureCountValue, dword)) {
            q.Raw(L"&k=");
            q.Number(dword);
        }
    }

    if (const json* errorType = ManifestJson::Member(&record, jobkeys::kErrorType)) {
        const long long type = Integer(errorType);
        switch (type) {
        case 1:
            QK_LOG_INFO(L"jobErrorType == %d, download error", static_cast<int>(type));
            q.Raw(L"&y=1");
            break;
        case 2:
            QK_LOG_INFO(L"jobErrorType == %d, install error", static_cast<int>(type));
            q.Raw(L"&y=0&z=1");
            break;
        case 3:
            QK_LOG_INFO(L"jobErrorType == %d", static_cast<int>(type));
            q.Raw(L"&y=0&z=2");
            break;
        case 4: {
            const std::wstring jobKey = std::wstring(kLauncherKey) + L"\\" +
                                        ManifestId() +
                                        L"\\" + jobId;
            qkRegistry key;
            if (key.Open(root, jobKey.c_str(), KEY_READ)) {
                DWORD complete = 0;
                if (!key.QueryDWORDValue(L"DownloadComplete", complete)) {
                    QK_LOG_INFO(L"jobErrorType == %d, download cancelled", static_cast<int>(type));
                    q.Raw(L"&y=2");
                } else if (complete == 0) {
                    QK_LOG_INFO(L"jobErrorType == %d, download succeed but install cancelled by user",
                                static_cast<int>(type));
                    q.Raw(L"&z=3");
                }
            }
            break;
        }
        case 5:
            QK_LOG_INFO(L"jobErrorType == %d, Install cancelled", static_cast<int>(type));
            q.Raw(L"&y=0");
            break;
        default:
            q.Raw(L"&y=0&z=0");
            break;
        }
    } else if (logType == L"event" && !record.contains("initialization_stage")) {
        q.Raw(L"&y=0&z=0");
    }

    if (const json* v = ManifestJson::Member(&record, "ConsentUIFlow")) {
        q.Raw(L"&o=");
        q.Number(Integer(v));
    } else if (hasNoUiSwitch()) {
        q.Raw(L"&o=");
        q.Number(3);
    }
    if (const json* v = ManifestJson::Member(&record, "ConsentUIElement")) {
        q.Raw(L"&p=");
        q.Number(Integer(v));
    }
    if (const json* v = ManifestJson::Member(&record, jobkeys::kValidationError)) {
        QK_LOG_INFO(L"validation_error node found, 0x%08X", static_cast<unsigned>(Integer(v)));
        q.Raw(L"&l=");
        q.Number(Integer(v));
    }
    if (const json* v = ManifestJson::Member(&record, jobkeys::kFileSizes)) {
        q.Raw(L"&m=");
        q.Value(Text(v));
    }
    if (const json* v = ManifestJson::Member(&record, "extra_data")) {
        q.Raw(L"&n=");
        q.Value(Text(v));
    }
    q.Raw(L"&zzz=" + CheckValue(q.TextSoFar(), unixTime()));
    if (const json* v = ManifestJson::Member(&record, jobkeys::kDownloadMethod)) {
        q.Raw(L"&w=");
        q.Value(Text(v));
    }
    if (const json* v = ManifestJson::Member(&record, "sqEvent")) {
        q.Raw(L"&s=");
        q.Number(Integer(v));
    }
    if (const json* v = ManifestJson::Member(&record, "sqUpStatus")) {
        q.Raw(L"&t=");
        q.Number(Integer(v));
    }
    if (const json* v = ManifestJson::Member(&record, "eventID")) {
        q.Raw(L"&u=");
        q.Value(Text(v));
    }
    if (const json* v = ManifestJson::Member(&record, jobkeys::kDownloadDuration)) {
        q.Raw(L"&v=");
        q.Decimal(Integer(v));
    }
    if (const json* v = ManifestJson::Member(&record, "file_priority")) {
        q.Raw(L"&f=");
        q.Decimal(Integer(v));
    }
    if (const json* v = ManifestJson::Member(&record, "FileFailureCount")) {
        q.Raw(L"&q=");
        q.Decimal(Integer(v));
    }
    if (const json* v = ManifestJson::Member(&record, "product_serial_number")) {
        q.SetFormat(QueryBuilder::Format::Decimal);
        const std::wstring psn = Text(v);
        q.Raw(L"&x=");
        q.Value(psn.empty() ? L"PSN_NOT_SET" : psn);
    }
    return q.TextSoFar();
}

void VekDataReporter::sendModuleFData(json& record)
{
    wchar_t module[MAX_PATH] = {};
    if (!::GetModuleFileNameW(nullptr, module, MAX_PATH)) {
        QK_LOG_ERROR(L"Failed to split module");
        throw DataReporterException(VEK_E_REPORTER_MODULE_PATH);
    }
    initMachineID();
    const std::wstring query = BuildModuleQuery(record);

    if (IsNullOrEmpty(m_manifest)) {
        const std::wstring url = Text(ManifestJson::Member(&record, "reporting_url"));
        if (url.empty())
            return;
        const HRESULT hr = submitToServer(url, query);
        if (FAILED(hr))
            QK_LOG_ERROR(L"submitToServer() failed, hr=0x%08X", hr);
        QK_LOG_INFO(L"URL to be sent to server %s %s", url.c_str(), query.c_str());
        return;
    }

    const json* global = ManifestJson::Member(ManifestJson::Member(m_manifest, "vek"), "global");
    std::wstring lastUrl;
    if (const json* servers = ManifestJson::Member(global, "reporting_servers"); servers && servers->is_array()) {
        for (const json& entry : *servers) {
            lastUrl = Text(ManifestJson::Member(&entry, "reporting_url"));
            const HRESULT hr = submitToServer(lastUrl, query);
            if (SUCCEEDED(hr)) {
                QK_LOG_INFO(L"submitToServer SUCCEEDED");
                break;
            }
            QK_LOG_ERROR(L"Failed to submit module %d data using %s, hr=0x%08X", m_moduleNumber, lastUrl.c_str(), hr);
        }
    } else if (const json* url = ManifestJson::Member(global, "reporting_url")) {
        lastUrl = Text(url);
        const HRESULT hr = submitToServer(lastUrl, query);
        if (FAILED(hr))
            QK_LOG_ERROR(L"submitToServer() failed, hr=0x%08X", hr);
    } else {
        return;
    }
    AppendToUrlFile(lastUrl, query);
}

HRESULT VekDataReporter::submitToServer(const std::wstring& url, const std::wstring& query)
{
    std::wstring full = url + query;
    HRESULT hr = CanonicalizeURL(full);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"CanonicalizeURL() failed, hr=0x%08X", hr);
        return hr;
    }
    const GetOutcome outcome = GetWithProxyFallback(full, __PRETTY_FUNCTION__);
    switch (outcome.step) {
    case GetStep::Sent:
        return outcome.hr;
    case GetStep::Initialize:
        return VEK_E_REPORTER_INITIALIZE;
    case GetStep::Request:
        return VEK_E_REPORTER_REQUEST;
    case GetStep::Status:
        break;
    }
    return VEK_E_REPORTER_STATUS;
}

void VekDataReporter::sendOLPData(int kind, const json& job)
{
    const json* distribution = ManifestJson::Member(&job, "distribution");
    std::wstring url;
    if (kind == eJobDownloadStart) {
        url = Text(ManifestJson::Member(distribution, "olp_start_url"));
        QK_LOG_INFO(L"Gathering data for OLP start ping");
    } else if (kind == eJobDownloadFinish) {
        url = Text(ManifestJson::Member(distribution, "olp_end_url"));
        QK_LOG_INFO(L"Gathering data for OLP finish ping");
    } else {
        return;
    }
    if (url.empty())
        return;
    QK_LOG_INFO(L"Sending OLP ping %s", url.c_str());
    // The URL goes as the manifest gives it: no query of its own, no canonicalisation.
    const GetOutcome outcome = GetWithProxyFallback(url, __PRETTY_FUNCTION__);
    if (outcome.step == GetStep::Sent) {
        QK_LOG_INFO(L"OLP ping sent successfully");
        return;
    }
    throw DataReporterException(outcome.step == GetStep::Initialize ? outcome.hr : VEK_E_REPORTER_STATUS);
}

HRESULT VekDataReporter::logConsent(int element)
{
    json record = json::object();
    record["manifest_id"] = ManifestIdText();
    record["ConsentUIElement"] = element;
    record["ConsentUIFlow"] = 1;
    const json* psn = ManifestJson::Member(ManifestJson::Member(FirstJob(), "distribution"), "product_serial_number");
    record["product_serial_number"] = psn ? *psn : json("");
    sendModuleFData(record);
    return 0;
}

HRESULT VekDataReporter::logInitializationStage(int errorCode, int eventCode)
{
    json record = json::object();
    const HRESULT hr = m_manifest ? AddPSNEntry(*m_manifest, record) : 0;
    if (SUCCEEDED(hr)) {
        record["manifest_id"] = ManifestIdText();
        record["log_type"] = "event";
        record["event_code"] = eventCode;
        record["error_code"] = errorCode;
        record["initialization_stage"] = 0;
        sendModuleFData(record);
    }
    return hr;
}

HRESULT VekDataReporter::logError(HRESULT code, bool send, json& record)
{
    if (!record.is_object())
        record = json::object();
    record["manifest_id"] = ManifestIdText();
    record["log_type"] = "error";
    record["error_code"] = static_cast<long long>(code);
    const HRESULT hr = m_manifest ? AddPSNEntry(*m_manifest, record) : 0;
    if (SUCCEEDED(hr)) {
        AddConsentFlow(record);
        if (send)
            sendModuleFData(record);
        else
            QK_LOG_ERROR(L"Error occurred. Error code : 0x%08X", code);
    }
    return hr;
}

HRESULT VekDataReporter::logError(HRESULT code)
{
    json record = json::object();
    return logError(code, true, record);
}

HRESULT VekDataReporter::logError(HRESULT code, bool send)
{
    json record = json::object();
    return logError(code, send, record);
}

HRESULT VekDataReporter::logError(HRESULT code, bool send, const wchar_t* text)
{
    json record = json::object();
    if (text)
        record["extra_data"] = ToUtf8(text);
    return logError(code, send, record);
}

HRESULT VekDataReporter::logError(HRESULT code, bool send, int number)
{
    json record = json::object();
    record["extra_data"] = number;
    return logError(code, send, record);
}

HRESULT VekDataReporter::logJobError(HRESULT code, bool send, const json& job, const wchar_t* extra, int filePriority,
                                     int fileFailureCount)
{
    json record = json::object();
    AddJobIds(job, record);
    if (const json* t = ManifestJson::Member(&job, jobkeys::kErrorType); t && Integer(t) != 0)
        record[jobkeys::kErrorType] = *t;
    if (const json* t = ManifestJson::Member(&job, jobkeys::kJobErrorCode))
        record["error_code"] = *t;
    if (const json* t = ManifestJson::Member(&job, jobkeys::kValidationError))
        record[jobkeys::kValidationError] = *t;
    if (const json* t = ManifestJson::Member(&job, jobkeys::kFileSizes))
        record[jobkeys::kFileSizes] = *t;
    if (const json* t = ManifestJson::Member(&job, jobkeys::kOtherErrors))
        record[jobkeys::kOtherErrors] = *t;
    const HRESULT hr = AddPSNEntry(job, record);
    if (FAILED(hr))
        return hr;
    AddConsentFlow(record);
    if (filePriority != kNotGiven)
        record["file_priority"] = filePriority;
    if (fileFailureCount != kNotGiven)
        record["FileFailureCount"] = fileFailureCount;
    if (extra)
        record["extra_data"] = ToUtf8(extra);
    return logError(code, send, record);
}

HRESULT VekDataReporter::logEvent(int event, const json& job, bool send)
{
    if (event == eJobPluginEvent8)
        return 0;
    json record = json::object();
    record["event_id"] = event;
    record["manifest_id"] = ManifestIdText();
    AddJobIds(job, record);
    record["log_type"] = "event";
    record["event_code"] = event;
    if (const json* t = ManifestJson::Member(&job, jobkeys::kErrorType))
        record[jobkeys::kErrorType] = event == eJobInstallUACCancelled         ? json(2)
                               : event == eJobInstallErrorRetryDownload ? json(5)
                                                                        : *t;
    for (const char* name : {jobkeys::kJobErrorCode, jobkeys::kOtherErrors, jobkeys::kDownloadMethod, jobkeys::kDownloadDuration, jobkeys::kRekeyStatus}) {
        if (const json* t = ManifestJson::Member(&job, name))
            record[std::string(name) == jobkeys::kJobErrorCode ? "error_code" : name] = *t;
    }
    const HRESULT hr = AddPSNEntry(job, record);
    if (FAILED(hr))
        return hr;
    AddConsentFlow(record);
    if (send)
        sendModuleFData(record);
    sendOLPData(event, job);
    return 0;
}

HRESULT VekDataReporter::postEvent(int event, const json& job)
{
    std::lock_guard<std::mutex> lock(m_lock);
    try {
        return logEvent(event, job, false);
    } catch (...) {
        return VEK_E_REPORTER_EXCEPTION;
    }
}

HRESULT VekDataReporter::postEventWithData(int event, const json& job, bool send)
{
    std::lock_guard<std::mutex> lock(m_lock);
    try {
        return logEvent(event, job, send);
    } catch (...) {
        return VEK_E_REPORTER_EXCEPTION;
    }
}

} // namespace vek
