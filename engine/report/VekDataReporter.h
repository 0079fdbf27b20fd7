#pragma once
// The data reporter: turns launcher events, errors and consent choices into report records,
// sends each as the query string of a GET (module data) to the manifest's reporting servers,
// keeps a URL file of what it sent, and sends a job's OLP start and end pings. Its six virtual
// operations are the reporter interface that the ping reporter overrides. Reporting never fails
// its caller: failures are logged and the results are for information only.
//
// Every value placed into a query is percent-encoded, so a value can never add a parameter of
// its own; the whole URL is canonicalised before it is sent.
#include "net/download/CWinHTTPClient.h"
#include "services/launcher/VekResultCodes.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>

namespace vek {

// The value of a job-error count that was not given.
constexpr int kNotGiven = static_cast<int>(VEK_NOT_GIVEN);

class DataReporterException : public std::runtime_error {
public:
    explicit DataReporterException(HRESULT hr) : std::runtime_error("data reporter failure"), m_hr(hr) {}
    HRESULT hr() const { return m_hr; }

private:
    HRESULT m_hr;
};

class VekDataReporter {
public:
    using json = nlohmann::json;

    // The manifest is not owned and may be null (a reporter that sends only records carrying
    // their own "reporting_url").
    explicit VekDataReporter(const json* manifest);
    virtual ~VekDataReporter();
    VekDataReporter(const VekDataReporter&) = delete;
    VekDataReporter& operator=(const VekDataReporter&) = delete;

    // The reporter interface.
    virtual HRESULT logConsent(int element);
    virtual HRESULT logInitializationStage(int errorCode, int eventCode);
    virtual HRESULT logError(HRESULT code, bool send, json& record);
    virtual HRESULT logJobError(HRESULT code, bool send, const json& job, const wchar_t* extra, int filePriority,
                                int fileFailureCount);
    virtual HRESULT logEvent(int event, const json& job, bool send);
    virtual void sendModuleFData(json& record);

    HRESULT logError(HRESULT code);
    HRESULT logError(HRESULT code, bool send);
    HRESULT logError(HRESULT code, bool send, const wchar_t* text);
    HRESULT logError(HRESULT code, bool send, int number);
    HRESULT postEvent(int event, const json& job);
    HRESULT postEventWithData(int event, const json& job, bool send);
    HRESULT AddPSNEntry(const json& node, json& record);
    void sendOLPData(int kind, const json& job);
    HRESULT submitToServer(const std::wstring& url, const std::wstring& query);
    void initMachineID();
    void init(const json* manifest);

    // The module-data query of a record (fields 1 to 34).
    std::wstring BuildModuleQuery(const json& record);
    const std::wstring& GetMachineId() const { return m_machineId; }
    const std::wstring& GetUrlFileName() const { return m_urlFileName; }
    std::wstring GetUrlFilePath() const;
    // Appends "<url><query>\r\n" to the URL file.
    void AppendToUrlFile(const std::wstring& url, const std::wstring& query);

    // The process-wide proxy settings every reporter loads its requests from.
    static json& ProxySettings();

    // Replaceable for tests: the machine identifier, the silo selection (SelectLauncherSilo), the URL file's folder, the
    // system language, the time of the check value and the "noui" switch.
    std::function<HRESULT(std::wstring&)> machineIdSource;
    std::function<HRESULT()> selectSilo;
    std::function<std::wstring()> urlFileFolder;
    std::function<LANGID()> languageId;
    std::function<DWORD()> unixTime;
    std::function<bool()> hasNoUiSwitch;

protected:
    static bool IsNullOrEmpty(const json* manifest);
    const json* FirstJob() const;
    // "vek"."global"."manifest_id" of the manifest given to init, as text and as UTF-8; empty
    // when missing.
    std::wstring ManifestId() const;
    std::string ManifestIdText() const;
    // "transaction_id" (when the job's distribution has one) and "job_id" (empty when missing).
    static void AddJobIds(const json& job, json& record);
    // "ConsentUIFlow" = 1 when the manifest records that the user accepted the download.
    void AddConsentFlow(json& record) const;

    std::mutex m_lock;
    std::wstring m_urlFileName;
    const json* m_manifest = nullptr;
    std::wstring m_machineId;
    int m_moduleNumber = 9090;

private:
    bool m_inMachineIdLookup = false;
};

// Percent-encodes a value for a query string: everything but letters, digits and "-_.~:,/@",
// as UTF-8 bytes (so "&", "=", "#", "+", "%" and blanks never pass).
std::wstring PercentEncode(const std::wstring& value);
// "%02X.%02X" of the primary language (low 10 bits) and the sublanguage (high 6 bits).
std::wstring LanguageText(LANGID language);
// "major.minor.build.spMajor.spMinor.wow64".
std::wstring OsText();
// The 17-character check value of a query ("0" and the CRC-32 and time digits interleaved).
std::wstring CheckValue(const std::wstring& query, DWORD unixTime);
// UrlCanonicalizeW with URL_ESCAPE_UNSAFE, then again with URL_ESCAPE_SPACES_ONLY.
HRESULT CanonicalizeURL(std::wstring& url);

} // namespace vek
