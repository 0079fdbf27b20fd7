#pragma once
// The ping reporter: short GET "pings" that name the launcher, the machine and one action: the
// process start ("VEK_START"), the process end ("VEK_FINISH") and a failed job ("JOB_FAILURE",
// or "BACKEND_VALIDATION" when the backend check failed). It replaces all six operations of the
// reporter interface, so the engine's errors and events give a job-failure ping or nothing. The
// first ping that cannot be delivered switches every later ping of the process off.
#include "engine/report/VekDataReporter.h"

#include "net/proxy/IBrowserProxyProvider.h"

#include <memory>

namespace vek {

class VekPingReporter : public VekDataReporter {
public:
    explicit VekPingReporter(const json* manifest);

    HRESULT logConsent(int element) override;
    HRESULT logInitializationStage(int errorCode, int eventCode) override;
    HRESULT logError(HRESULT code, bool send, json& record) override;
    HRESULT logJobError(HRESULT code, bool send, const json& job, const wchar_t* extra, int filePriority,
                        int fileFailureCount) override;
    HRESULT logEvent(int event, const json& job, bool send) override;
    void sendModuleFData(json& record) override;
    using VekDataReporter::logError;

    // False when pings are off; otherwise makes sure the process-wide manifest is there and
    // the machine identifier is known.
    bool prepare();
    void sendStartPing(const std::wstring& commandLine, const std::wstring& account);
    void sendFinishPing(int exitCode, HRESULT result);

    // The common start of every ping (fields module to OS).
    std::wstring BaseQuery();

    // Process-wide state: the manifest every ping reads, the reporter of the start and finish
    // pings, and the switch that silences all pings.
    static json& ProcessManifest();
    static std::shared_ptr<VekPingReporter>& ProcessReporter();
    static bool PingsOff();
    static void SetPingsOff(bool off);

    // Replaceable for tests: the INSTALLER_OPTIONS switch, and where the proxy kind reads the
    // default browser's proxy settings (none: the browsers of this machine).
    std::function<std::wstring()> installerOptions;
    std::shared_ptr<IBrowserProxyProvider> browserProxy;

private:
    void Send(const std::wstring& query);
    int InstallMode();
    int ProxyKind();
};

// Make the process-wide ping reporter on demand (from the running executable's manifest) and
// send the start or finish ping through it. The token on the command line is masked.
void SendStartPing(const std::wstring& commandLine, const std::wstring& account);
void SendFinishPing(int exitCode, HRESULT result);

} // namespace vek
