#pragma once
// The pieces of the launcher's program entry around wWinMain: relaunch through the shell, the
// processor check, the start and finish records, the factories that the HTTP transport and the
// trust services call back, the module lifetime manager, the event-trace registration and the
// removal of the deployment package.
#include "common/objects/IVerifyTrust.h"

#include <windows.h>

#include <string>

struct IModuleLifetimeMgr;
namespace qkSettings {
struct ISettingsMgr;
}

// Starts path with parameters through the shell ("runas" when elevate is set on Vista or later,
// else "open"); 0 on success, else the HRESULT of the last error (logged).
HRESULT LaunchProcessWithShellExecute(const wchar_t* path, const wchar_t* parameters, bool elevate);

// The factories registered at start-up: a trust-verification object ready for use (VEK_E_TRUST
// when it cannot be made), and the standalone settings manager.
HRESULT StaticVerifyTrustFactory(IVerifyTrust** trust);
HRESULT StaticSettingsFactory(qkSettings::ISettingsMgr** manager);

namespace vek {

// S_OK when the processor has SSE and SSE2; otherwise (unless quiet) explains it in dialog 300
// and returns 0xC000001D (STATUS_ILLEGAL_INSTRUCTION).
HRESULT CheckProcessorSupport(bool quiet);
// The same decision over given feature answers, for tests.
bool ProcessorSupported(bool sse, bool sse2);

// The start record: a log line, the VEK_STARTED status event and the start ping. commandLine is
// wWinMain's argument (without the program path). The customer token never leaves in clear.
void LogStartup(const wchar_t* commandLine);
// The start ping's account text: "account <account word>, session <session id>".
std::wstring StartAccountText(const wchar_t* account, DWORD session);
// The finish record: the VEK_FINISHED status event and the finish ping with g_ExitCode and hr.
void LogExit(HRESULT hr);

// An error report through the common library's error instance, tagged with the caller's address.
void ReportStartFailure(HRESULT hr, void* callerAddress);

// The process-wide module lifetime manager, made on first use (null when out of memory). The
// process keeps its reference until it ends.
IModuleLifetimeMgr* GetModuleLifetimeManager();

// Removes the deployment package that started this launcher (msiexec run by its full path from
// the system folder); waits up to a minute for it. Never changes the exit code.
void UninstallDeploymentMsi();

// The launcher's event-trace provider "VEK": registered when made, unregistered once (by
// Unregister or at destruction).
class VekTraceRegistration {
public:
    VekTraceRegistration();
    ~VekTraceRegistration();
    VekTraceRegistration(const VekTraceRegistration&) = delete;
    VekTraceRegistration& operator=(const VekTraceRegistration&) = delete;
    void Unregister();

private:
    unsigned long long m_handle = 0;
};

} // namespace vek
