#pragma once
// Certificate pinning of the in-house HTTP client. A request to a host on the pinning white list
// is checked while it is being sent: the server's chain must hold a pinned certificate, or (when
// the policy allows it) end in a root that is not one of the well-known public roots. The policy,
// pins, roots, white list and report limits come from the client settings file and are read
// anew for every check. Failures and suspicious chains are reported through the telemetry
// object (a summary, limited per day) and, for chain mismatches, a detailed error report with a
// text dump of the chain.
//
// Result codes of a check, as reported ("Ping error"):
//   0 passed (pin matched and well-known root), or not checked (mode 0, remembered certificate)
//   1 settings unreadable: the request passes
//   2 the request's URL, server certificate or a chain could not be obtained: passes
//   3 no pin matched, well-known root (also when no chain could be built): fails
//   4 no pin matched, private root: fails unless RootCheckMode is 0
//   5 a pin matched, private root: passes
//   6 the chain walk failed: passes unless the mode enforces
//   7 a pinned request was redirected off the white list
#include "net/http/Jux_CertificateCheck.h"
#include "net/http/Jux_ReportLimiter.h"

#include <windows.h>
#include <wincrypt.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Jux {

enum PinningResultCode : DWORD {
    kPinPassed = 0,
    kPinSettingsUnreadable = 1,
    kPinCertificateUnreadable = 2,
    kPinNoMatchWellKnownRoot = 3,
    kPinNoMatchPrivateRoot = 4,
    kPinMatchPrivateRoot = 5,
    kPinChainWalkFailed = 6,
    kPinRedirectOffWhiteList = 7,
};

// What a refused check answers.
inline constexpr HRESULT kPinningRefused = HRESULT_FROM_WIN32(ERROR_NOT_AUTHENTICATED); // 0x800704DC

// The outcome of walking one server certificate's chain.
struct CChainCheckResult {
    // 0 ok, 2 a simple chain missing, 3 fields or thumbprint unreadable, 4 display name unreadable.
    DWORD walkCode = 0;
    DWORD simpleChains = 0;
    DWORD lastChainElements = 0;
    std::wstring firstName, secondName, lastName; // of the last simple chain
    bool pinMatched = false;
    bool privateRoot = false; // the chain's root is not a well-known root
    std::wstring dump;        // text dump of every visited certificate
};

// Walks the chain of cert (built from the local machine's engine and cached data only) from the
// end certificate to the root, comparing every element's thumbprint with the pins and each root
// with the well-known roots (case-insensitive). E_INVALIDARG for no certificate; 0x8007000D when
// the walk failed (walkCode says where).
HRESULT WalkCertificateChain(PCCERT_CONTEXT cert, const std::map<std::wstring, std::wstring>& pins,
                             const std::map<std::wstring, std::wstring>& wellKnownRoots, CChainCheckResult& result);

// true when host ends in "." + entry (case-insensitive): an entry covers the names below it at
// any depth, never the name itself.
bool WhiteListEntryCovers(const std::wstring& host, const std::wstring& entry);

// The fields of one summary report (telemetry event 24300).
struct PinningReport {
    DWORD resultCode = 0;
    DWORD dataVersion = 0;
    DWORD source = 0;
    DWORD sourceArgument = 0;
    DWORD mode = 0xFFFFFFFF;
    DWORD rootCheckMode = 0xFFFFFFFF;
    DWORD sentAtOnce = 0; // "O": 1 from the white-list check or for a redirect
    HRESULT hr = S_OK;
    std::wstring serverAddress;
    std::wstring connectionHost;
    CChainCheckResult chain;
};

class CHTTPCertPinning : public ICertificateCheck {
public:
    explicit CHTTPCertPinning(std::shared_ptr<IFileTimeClock> clock = nullptr);

    bool IsHostWhiteListed(const std::wstring& host) override;
    bool CheckServerCertificate(HINTERNET request, const std::wstring& serverAddress, int source,
                                DWORD argument) override;
    // The summary of a redirect off the white list (sent at once, without the daily limiter).
    void SendPinningPing(int source, int resultCode, const std::wstring& serverAddress) override;
    // The settings file asks for mode 2; false when it cannot be read.
    bool IsPinningEnforced() override;

    // The process-wide remembered certificate: the thumbprint of the last server certificate
    // whose chain passed. Forget clears it (a fresh process starts empty).
    static std::wstring RememberedThumbprint();
    static void ForgetRememberedThumbprint();

    // The 14 name/value pairs of a summary, in the order they are submitted.
    static std::vector<std::pair<std::wstring, std::wstring>> SummaryPairs(const PinningReport& report);
    // The text of a detailed report before its conversion to UTF-8.
    static std::wstring DetailText(const PinningReport& report);

protected:
    // Submits the summary to the telemetry object; a failure is traced only.
    virtual void SubmitSummary(const PinningReport& report);
    // Files the detailed error report (codes 3, 4, 5) with the UTF-8 text.
    virtual void FileDetailedReport(const PinningReport& report, const std::string& utf8Text);

private:
    void Report(PinningReport& report);

    std::shared_ptr<IFileTimeClock> m_clock;
};

} // namespace Jux
