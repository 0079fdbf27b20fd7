#pragma once
// The status reporter: one JSON status record per launcher milestone, posted to the manifest's
// vek.bootstrap.options.reporting_url. One instance per process, made at static
// initialisation; the first report loads the running executable's manifest. A failed post
// switches it off for the rest of the process, except for one direct retry after a proxy
// failure. All callers run on the user-interface thread; nothing is locked.
#include "engine/report/VekStatusEvents.h"

#include "net/download/CWinHTTPClient.h"
#include "net/proxy/IBrowserProxyProvider.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace vek {

class VekStatusReporter {
public:
    // The reporter's own copy of the manifest and what it reads of it. The distribution node is
    // vek.job_array[0].distribution.
    class Manifest {
    public:
        void Set(const nlohmann::json& manifest) { m_document = manifest; }
        std::optional<std::wstring> ReportingUrl() const;
        // The server, desktop or legacy customer token (by edition of Windows), with its log
        // line; none when the manifest has no usable token.
        std::optional<std::wstring> ConnectionToken(bool isServer) const;
        std::wstring ProductUuid() const;
        std::wstring CustomerId() const;
        std::wstring DomainId() const;
        nlohmann::json ProxySettings() const;

    private:
        const nlohmann::json* Distribution() const;
        std::wstring DistributionText(const char* name) const;

        nlohmann::json m_document;
    };

    VekStatusReporter();
    virtual ~VekStatusReporter();
    VekStatusReporter(const VekStatusReporter&) = delete;
    VekStatusReporter& operator=(const VekStatusReporter&) = delete;

    static VekStatusReporter& Instance();

    // Posts one record; after a proxy failure tries once more directly and, when that works,
    // reports the fall-back (code 5).
    HRESULT LogStatus(int code, const std::wstring& data);
    HRESULT LogStatusInternal(int code, const std::wstring& data, DWORD& status);
    HRESULT init(const nlohmann::json& manifest, const std::wstring& machineId);
    void initFromOwnManifest();
    void InitMachineId();
    std::wstring GetMachineId();

    // The status record as posted (styled JSON, sorted members, three-space indent).
    std::string BuildRecord(int code, const std::wstring& data);
    static std::wstring EventName(int code);

    bool IsDisabled() const { return m_disabled; }
    bool IsInitialised() const { return m_initialised; }

    // Replaceable for tests: the machine identifier, the launcher path whose manifest is read,
    // the edition of Windows, the clock, and where the proxy discovery reads the default
    // browser's settings (none: the browsers of this machine).
    std::function<HRESULT(std::wstring&)> machineIdSource;
    std::function<std::wstring()> launcherPath;
    std::function<bool()> isServer;
    std::function<SYSTEMTIME()> clock;
    std::shared_ptr<IBrowserProxyProvider> browserProxy;

private:
    std::map<int, std::wstring> m_eventNames;
    bool m_disabled = true;
    std::wstring m_machineId;
    CWinHTTPClient m_httpClient;
    bool m_initialised = false;
    Manifest m_manifest;
};

// Reports through the process-wide status reporter; data formatted printf-style (wide).
HRESULT LogStatusEvent(int code);
HRESULT LogStatusEventF(int code, const wchar_t* format, ...);

// The styled writer's text of a JSON value: members sorted, one per line, three-space indent,
// a closing newline.
std::string StyledJson(const nlohmann::json& value);

} // namespace vek
