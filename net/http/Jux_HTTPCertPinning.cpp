#include "net/http/Jux_HTTPCertPinning.h"
#include "common/base/qkLastError.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkStringConvert.h"
#include "common/base/qkTrace.h"
#include "common/base/qkWideFormat.h"
#include "common/errors/qkTalErrorInstance.h"
#include "common/objects/GetCallerAddress.h"
#include "common/objects/qkInstanceFactory.h"
#include "common/persist/qkTalMemoryStreamImpl.h"
#include "common/objects/qkComAdopt.h"
#include "net/http/Jux_CertContextUtils.h"
#include "net/http/Jux_CertInfoHelper.h"
#include "net/http/Jux_HTTPClientSettings.h"
#include "net/http/Jux_PinningTelemetry.h"

#include <wrl/client.h>

#include <cwchar>
#include <mutex>
#include <vector>

namespace Jux {
namespace {

using Microsoft::WRL::ComPtr;

constexpr HRESULT kInvalidData = HRESULT_FROM_WIN32(ERROR_INVALID_DATA); // 0x8007000D
constexpr DWORD kChainFlags = CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY | CERT_CHAIN_REVOCATION_CHECK_CHAIN |
                              CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE | CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL |
                              CERT_CHAIN_CACHE_END_CERT; // 0xA0000105
// The instance id text of detailed pinning reports.
constexpr wchar_t kDetailInstanceId[] = L"{48A6191F-9256-4086-9B80-E96AE448F7C5}";

std::mutex g_rememberedLock;
std::wstring g_remembered;

bool SameThumbprint(const std::wstring& a, const std::wstring& b)
{
    return !a.empty() && _wcsicmp(a.c_str(), b.c_str()) == 0;
}

bool InValues(const std::map<std::wstring, std::wstring>& values, const std::wstring& thumbprint)
{
    for (const auto& entry : values)
        if (SameThumbprint(thumbprint, entry.second))
            return true;
    return false;
}

// Fields, dump, thumbprint and name of one certificate; false (with the walk code) on failure.
bool DescribeElement(PCCERT_CONTEXT cert, CChainCheckResult& result, std::wstring& thumbprint, std::wstring& name)
{
    CCertInfo info;
    if (FAILED(GetCertInfo(cert, info))) {
        result.walkCode = 3;
        return false;
    }
    result.dump += CertDumpText(info);
    thumbprint = info.thumbprint;
    if (thumbprint.empty()) {
        result.walkCode = 3;
        return false;
    }
    if (FAILED(GetCertDisplayName(cert, name))) {
        result.walkCode = 4;
        return false;
    }
    return true;
}

// The request's URL host; false with the HRESULT when it cannot be read.
// The host of the request's "Host" header, without a port.
bool HostHeader(HINTERNET request, std::wstring& host)
{
    wchar_t buffer[512];
    DWORD size = sizeof buffer;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_HOST | WINHTTP_QUERY_FLAG_REQUEST_HEADERS,
                             WINHTTP_HEADER_NAME_BY_INDEX, buffer, &size, WINHTTP_NO_HEADER_INDEX))
        return false;
    host.assign(buffer, size / sizeof(wchar_t));
    const size_t colon = host.rfind(L':');
    if (colon != std::wstring::npos && host.find(L']', colon) == std::wstring::npos)
        host.erase(colon);
    return !host.empty();
}

// The request's URL host; false with the HRESULT when it cannot be read.
bool RequestHost(HINTERNET request, std::wstring& host, HRESULT& hr)
{
    // A first read into a buffer of common size, a second one at the size WinHTTP asks for.
    std::vector<wchar_t> url(1024);
    DWORD size = static_cast<DWORD>(url.size() * sizeof(wchar_t));
    BOOL read = WinHttpQueryOption(request, WINHTTP_OPTION_URL, url.data(), &size);
    if (!read && GetLastError() == ERROR_INSUFFICIENT_BUFFER && size != 0) {
        url.assign(size / sizeof(wchar_t) + 1, L'\0');
        read = WinHttpQueryOption(request, WINHTTP_OPTION_URL, url.data(), &size);
    }
    if (!read) {
        hr = qkLib::LastErrorResult();
        // Some WinHTTP implementations (Wine) do not answer the URL option: the host then
        // comes from the request's own Host header, which is sent by the time of the check.
        if (hr == E_INVALIDARG && HostHeader(request, host))
            return true;
        return false;
    }
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    std::vector<wchar_t> hostBuffer(url.size() + 1);
    parts.lpszHostName = hostBuffer.data();
    parts.dwHostNameLength = static_cast<DWORD>(hostBuffer.size());
    if (!WinHttpCrackUrl(url.data(), 0, 0, &parts)) {
        hr = qkLib::LastErrorResult();
        return false;
    }
    host.assign(parts.lpszHostName, parts.dwHostNameLength);
    return true;
}

std::wstring Number(DWORD value)
{
    return std::to_wstring(value);
}

} // namespace

HRESULT WalkCertificateChain(PCCERT_CONTEXT cert, const std::map<std::wstring, std::wstring>& pins,
                             const std::map<std::wstring, std::wstring>& wellKnownRoots, CChainCheckResult& result)
{
    if (!cert)
        return E_INVALIDARG;
    CERT_CHAIN_PARA params{};
    params.cbSize = sizeof params;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(HCCE_LOCAL_MACHINE, cert, nullptr, cert->hCertStore, &params, kChainFlags, nullptr,
                                 &chain) ||
        !chain) {
        // No chain: the server certificate alone describes the connection; neither flag is set.
        QK_TRACE(L"no chain built: %lu", GetLastError());
        std::wstring thumbprint, name;
        if (!DescribeElement(cert, result, thumbprint, name))
            return kInvalidData;
        result.firstName = name;
        return S_OK;
    }
    // The chain's trust status is not examined: WinHTTP's own validation stands.
    std::unique_ptr<const CERT_CHAIN_CONTEXT, decltype(&CertFreeCertificateChain)> owner(chain,
                                                                                         &CertFreeCertificateChain);
    result.simpleChains = chain->cChain;
    for (DWORD c = 0; c < chain->cChain; ++c) {
        const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[c];
        if (!simple) {
            result.walkCode = 2;
            return kInvalidData;
        }
        const bool lastChain = c + 1 == chain->cChain;
        if (lastChain)
            result.lastChainElements = simple->cElement;
        for (DWORD e = 0; e < simple->cElement; ++e) {
            const CERT_CHAIN_ELEMENT* element = simple->rgpElement[e];
            std::wstring thumbprint, name;
            if (!element || !DescribeElement(element->pCertContext, result, thumbprint, name)) {
                if (!element)
                    result.walkCode = 3;
                return kInvalidData;
            }
            if (!result.pinMatched && InValues(pins, thumbprint))
                result.pinMatched = true;
            if (lastChain) {
                if (e == 0)
                    result.firstName = name;
                else if (e == 1)
                    result.secondName = name;
                if (e + 1 == simple->cElement)
                    result.lastName = name;
            }
            if (e + 1 == simple->cElement)
                result.privateRoot = !InValues(wellKnownRoots, thumbprint);
        }
        if (result.pinMatched || result.privateRoot)
            break;
    }
    return S_OK;
}

bool WhiteListEntryCovers(const std::wstring& host, const std::wstring& entry)
{
    if (host.size() < entry.size() + 1)
        return false;
    const size_t dot = host.size() - entry.size() - 1;
    return host[dot] == L'.' && _wcsicmp(host.c_str() + dot + 1, entry.c_str()) == 0;
}

CHTTPCertPinning::CHTTPCertPinning(std::shared_ptr<IFileTimeClock> clock)
    : m_clock(clock ? std::move(clock) : SystemFileTimeClock())
{
}

std::wstring CHTTPCertPinning::RememberedThumbprint()
{
    std::lock_guard<std::mutex> lock(g_rememberedLock);
    return g_remembered;
}

void CHTTPCertPinning::ForgetRememberedThumbprint()
{
    std::lock_guard<std::mutex> lock(g_rememberedLock);
    g_remembered.clear();
}

bool CHTTPCertPinning::IsHostWhiteListed(const std::wstring& host)
{
    qkExceptionInfo info;
    try {
        std::vector<std::wstring> whiteList;
        DWORD mode = 0, rootCheckMode = 0;
        {
            CHTTPClientSettings settings;
            HRESULT hr = settings.Open();
            if (SUCCEEDED(hr))
                hr = settings.GetPinningModes(mode, rootCheckMode);
            if (SUCCEEDED(hr) && mode == 0)
                return false;
            if (SUCCEEDED(hr))
                hr = settings.GetWhiteList(whiteList);
            if (FAILED(hr)) {
                settings.Close();
                QK_TRACE(L"white list unreadable: 0x%08lX", static_cast<unsigned long>(hr));
                PinningReport report;
                report.resultCode = kPinSettingsUnreadable;
                report.sentAtOnce = 1;
                report.hr = hr;
                report.connectionHost = host;
                SubmitSummary(report);
                return false;
            }
        }
        for (const std::wstring& entry : whiteList)
            if (WhiteListEntryCovers(host, entry))
                return true;
        return false;
    }
    QK_CATCH(info)
    QK_TRACE(L"%ls", info.GetFullText());
    return false;
}

void CHTTPCertPinning::SendPinningPing(int source, int resultCode, const std::wstring& serverAddress)
{
    qkExceptionInfo info;
    try {
        PinningReport report;
        report.source = static_cast<DWORD>(source);
        report.resultCode = static_cast<DWORD>(resultCode);
        report.sentAtOnce = 1;
        report.serverAddress = serverAddress;
        SubmitSummary(report);
    }
    QK_CATCH(info)
    if (info.HasError())
        QK_TRACE(L"%ls", info.GetFullText());
}

// True when the client settings file asks for enforced pinning (mode 2); false when it cannot
// be read.
static bool PinningEnforced()
{
    try {
        CHTTPClientSettings settings;
        DWORD mode = 1, rootCheckMode = 1;
        const bool enforced = SUCCEEDED(settings.Open()) && SUCCEEDED(settings.GetPinningModes(mode, rootCheckMode)) &&
                              mode == 2;
        settings.Close();
        return enforced;
    } catch (...) {
        return false;
    }
}

bool CHTTPCertPinning::IsPinningEnforced()
{
    return PinningEnforced();
}

bool CHTTPCertPinning::CheckServerCertificate(HINTERNET request, const std::wstring& serverAddress, int source,
                                              DWORD argument)
{
    PCCERT_CONTEXT cert = nullptr;
    bool pass = true;
    qkExceptionInfo info;
    try {
        PinningReport report;
        report.source = static_cast<DWORD>(source);
        report.sourceArgument = argument;
        report.serverAddress = serverAddress;

        // 1-2. The request's host and its server certificate; without them the request passes
        // and the summary goes at once.
        HRESULT hr = S_OK;
        bool readable = RequestHost(request, report.connectionHost, hr);
        if (readable) {
            DWORD size = sizeof cert;
            if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &cert, &size)) {
                hr = qkLib::LastErrorResult();
                readable = false;
            } else if (!cert) {
                hr = HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
                readable = false;
            }
        }
        if (!readable) {
            // A check that cannot decide counts as failed: reported as ever, and refused where
            // pinning is enforced.
            QK_TRACE(L"request or certificate unreadable: 0x%08lX", static_cast<unsigned long>(hr));
            report.resultCode = kPinCertificateUnreadable;
            report.hr = hr;
            SubmitSummary(report);
            return !PinningEnforced();
        }
        std::unique_ptr<const CERT_CONTEXT, decltype(&CertFreeCertificateContext)> certOwner(
            cert, &CertFreeCertificateContext);
        cert = nullptr;

        // Modes as reported when their read fails.
        report.mode = 1;
        report.rootCheckMode = 1;
        bool checked = false;
        {
            CHTTPClientSettings settings;
            DWORD mode = 1, rootCheckMode = 1;
            if (FAILED(hr = settings.Open())) {
                report.resultCode = kPinSettingsUnreadable;
            } else {
                if (FAILED(settings.GetDataVersion(report.dataVersion)))
                    report.dataVersion = 0;
                if (FAILED(hr = settings.GetPinningModes(mode, rootCheckMode)))
                    report.resultCode = kPinSettingsUnreadable;
            }
            if (SUCCEEDED(hr)) {
                report.mode = mode;
                report.rootCheckMode = rootCheckMode;
                std::wstring thumbprint;
                if (mode == 0) {
                    report.resultCode = kPinPassed;
                } else if (SUCCEEDED(GetCertThumbprint(certOwner.get(), thumbprint)) &&
                           SameThumbprint(thumbprint, RememberedThumbprint())) {
                    report.resultCode = kPinPassed;
                } else {
                    checked = true;
                }
            }
            if (checked) {
                std::map<std::wstring, std::wstring> pins, roots;
                if (FAILED(hr = settings.GetPins(pins)) || FAILED(hr = settings.GetWellKnownRoots(roots))) {
                    report.resultCode = kPinSettingsUnreadable;
                } else {
                    // Any mode other than 0 and 2 checks and reports but never refuses.
                    const bool enforce = report.mode == 2;
                    hr = WalkCertificateChain(certOwner.get(), pins, roots, report.chain);
                    if (FAILED(hr)) {
                        report.resultCode = kPinChainWalkFailed;
                        pass = !enforce;
                    } else {
                        const CChainCheckResult& chain = report.chain;
                        report.resultCode = chain.pinMatched
                                                ? (chain.privateRoot ? kPinMatchPrivateRoot : kPinPassed)
                                                : (chain.privateRoot ? kPinNoMatchPrivateRoot : kPinNoMatchWellKnownRoot);
                        const bool passed = chain.pinMatched || (chain.privateRoot && rootCheckMode == 0);
                        if (passed) {
                            std::wstring thumbprint;
                            if (SUCCEEDED(GetCertThumbprint(certOwner.get(), thumbprint))) {
                                std::lock_guard<std::mutex> lock(g_rememberedLock);
                                g_remembered = thumbprint;
                            }
                        } else {
                            hr = kPinningRefused;
                            pass = !enforce;
                        }
                    }
                }
            }
            settings.Close();
        }
        report.hr = hr;
        if (report.resultCode == kPinSettingsUnreadable)
            QK_TRACE(L"pinning settings unreadable: 0x%08lX", static_cast<unsigned long>(hr));
        // 9. Reports after the check; the settings are closed, so the limiter can open them.
        if (FAILED(report.hr) || report.resultCode != kPinPassed || source == kCheckOnSecureFailure)
            Report(report);
        if (!pass)
            QK_TRACE(L"refused %ls (%ls): code %lu", report.connectionHost.c_str(), serverAddress.c_str(),
                     report.resultCode);
        return pass;
    }
    QK_CATCH(info)
    if (cert)
        CertFreeCertificateContext(cert);
    QK_TRACE(L"%ls", info.GetFullText());
    // A check that broke off undecided never lets an enforced request pass.
    return pass && !PinningEnforced();
}

void CHTTPCertPinning::Report(PinningReport& report)
{
    if (!IsReportAllowed(*m_clock)) {
        QK_TRACE(L"daily report limit: code %lu not reported", report.resultCode);
        return;
    }
    SubmitSummary(report);
    if (report.resultCode != kPinNoMatchWellKnownRoot && report.resultCode != kPinNoMatchPrivateRoot &&
        report.resultCode != kPinMatchPrivateRoot)
        return;
    std::string utf8;
    if (FAILED(qkStringConvert::WideToUtf8(DetailText(report).c_str(), utf8))) {
        QK_TRACE(L"detail text not converted");
        utf8.clear();
    }
    FileDetailedReport(report, utf8);
}

std::vector<std::pair<std::wstring, std::wstring>> CHTTPCertPinning::SummaryPairs(const PinningReport& report)
{
    wchar_t hr[16];
    qkLib::FormatWide(hr, 16, L"%lX", static_cast<unsigned long>(report.hr));
    return {
        {L"D", Number(report.dataVersion)},
        {L"A", Number(report.source)},
        {L"B", Number(report.sourceArgument)},
        {L"M", Number(report.mode)},
        {L"R", Number(report.rootCheckMode)},
        {L"O", Number(report.sentAtOnce)},
        {L"V", Number(report.chain.simpleChains)},
        {L"W", Number(report.chain.lastChainElements)},
        {L"X", report.chain.firstName},
        {L"Y", report.chain.secondName},
        {L"Z", report.chain.lastName},
        {L"I", report.serverAddress},
        {L"J", hr},
        {L"K", Number(report.chain.walkCode)},
    };
}

std::wstring CHTTPCertPinning::DetailText(const PinningReport& report)
{
    wchar_t head[128];
    qkLib::FormatWide(head, 128, L"Result: %lX\nPing error: %lu\n", static_cast<unsigned long>(report.hr),
                      report.resultCode);
    std::wstring text = head;
    text += L"Host IP: " + report.serverAddress + L"\n";
    text += L"Connection Host: " + report.connectionHost + L"\n";
    text += L"Source: " + Number(report.source) + L"\n";
    text += L"Source Arg: " + Number(report.sourceArgument) + L"\n";
    text += L"Pin mode: " + Number(report.mode) + L"\n";
    text += L"Root Check mode: " + Number(report.rootCheckMode) + L"\n";
    text += L"\n\n";
    text += report.chain.dump;
    return text;
}

void CHTTPCertPinning::SubmitSummary(const PinningReport& report)
{
    IInstanceFactory* factory = qkInstanceFactory::GetInstanceFactory();
    ComPtr<IPinningTelemetry> telemetry;
    const HRESULT created =
        factory ? factory->CreateInstance(CLSID_PinningTelemetry, IID_IPinningTelemetry,
                                          reinterpret_cast<void**>(telemetry.GetAddressOf()))
                : E_OUTOFMEMORY;
    if (FAILED(created) || !telemetry) {
        QK_TRACE(L"no telemetry object: 0x%08lX", static_cast<unsigned long>(created));
        return;
    }
    const auto pairs = SummaryPairs(report);
    std::vector<const wchar_t*> names, values;
    for (const auto& pair : pairs) {
        names.push_back(pair.first.c_str());
        values.push_back(pair.second.c_str());
    }
    const HRESULT hr = telemetry->SubmitEvent(kPinningEventId, report.resultCode, 1, 0,
                                              static_cast<DWORD>(pairs.size()), names.data(), values.data());
    if (FAILED(hr))
        QK_TRACE(L"pinning report not submitted: 0x%08lX", static_cast<unsigned long>(hr));
}

void CHTTPCertPinning::FileDetailedReport(const PinningReport& report, const std::string& utf8Text)
{
    void* caller = nullptr;
    qkLib::GetCallerAddress(&caller);
    qkTalErrorInstance instance;
    // The check's HRESULT as the second number; the report may carry a dump.
    const HRESULT filed = instance.Report(L"24300", reinterpret_cast<ULONG_PTR>(caller), 0,
                                          static_cast<DWORD>(report.hr), 0, false, true, 1, kDetailInstanceId);
    if (FAILED(filed)) {
        QK_TRACE(L"detailed pinning report not filed: 0x%08lX", static_cast<unsigned long>(filed));
        return;
    }
    // S_FALSE: a full bucket (nothing written: the additions below are refused harmlessly), or an
    // instance written without its dump, which still takes them.
    if (filed == S_FALSE)
        QK_TRACE(L"detailed pinning report: bucket full or no dump");
    instance.SetProperty(L"Host IP", report.serverAddress.c_str());
    instance.SetProperty(L"Connection Host", report.connectionHost.c_str());
    if (utf8Text.empty())
        return;
    ComPtr<qkTalMemoryStreamImpl> memory;
    qkLib::Adopt(memory, qkTalMemoryStreamImpl::Create());
    if (!memory || !memory->Write(utf8Text.data(), static_cast<ULONG>(utf8Text.size())) || !memory->SetPosition(0)) {
        QK_TRACE(L"no memory object for the chain text");
        return;
    }
    if (FAILED(instance.AddCertAnalysis(memory.Get())))
        QK_TRACE(L"chain text not attached");
}

} // namespace Jux
