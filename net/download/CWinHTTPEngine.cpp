#include "net/download/CWinHTTPEngine.h"

#include "common/errors/qkLog.h"
#include "net/download/DownloadFiles.h"
#include "net/download/DownloadJson.h"
#include "net/http/Jux_HTTPCertPinning.h"
#include "services/launcher/VekUtil.h"
#include "common/base/qkTextCompare.h"

#include <cwchar>

namespace vek {

namespace {

const HRESULT kCancelledResult = HRESULT_FROM_WIN32(ERROR_CANCELLED);
// A body that ended before its length: the connection broke; worth a retry that resumes.
const HRESULT HR_SHORT_BODY = HRESULT_FROM_WIN32(ERROR_WINHTTP_CONNECTION_ERROR);

// "bytes <first>-<last>/<total>" (total may be "*", then 0): false when the text is not of that form.
struct ContentRange {
    std::uint64_t first = 0, last = 0, total = 0;
};

bool ParseContentRange(const std::wstring& text, ContentRange& range)
{
    const wchar_t* p = text.c_str();
    while (*p == L' ')
        ++p;
    if (_wcsnicmp(p, L"bytes", 5) != 0)
        return false;
    p += 5;
    while (*p == L' ' || *p == L'=')
        ++p;
    auto number = [&p](std::uint64_t& value) {
        if (*p < L'0' || *p > L'9')
            return false;
        wchar_t* end = nullptr;
        value = wcstoull(p, &end, 10);
        p = end;
        return true;
    };
    if (!number(range.first) || *p++ != L'-' || !number(range.last) || *p++ != L'/' || range.last < range.first)
        return false;
    if (*p == L'*') {
        range.total = 0;
        return true;
    }
    return number(range.total) && range.last < range.total;
}

// Location may be relative to the server of the address it answered.
std::wstring ResolveLocation(const std::wstring& base, const std::wstring& location)
{
    if (location.find(L"://") != std::wstring::npos)
        return location;
    size_t scheme = base.find(L"://");
    if (scheme == std::wstring::npos)
        return location;
    size_t pathStart = base.find(L'/', scheme + 3);
    std::wstring origin = pathStart == std::wstring::npos ? base : base.substr(0, pathStart);
    if (!location.empty() && location[0] == L'/')
        return origin + location;
    std::wstring folder = pathStart == std::wstring::npos ? origin + L"/" : base.substr(0, base.rfind(L'/') + 1);
    return folder + location;
}

bool ParseLength(const std::wstring& text, std::uint64_t& value)
{
    try {
        value = ParseDecimalU64(WideToUtf8(text));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace

bool IsTransientDownloadError(HRESULT hr)
{
    static const DWORD transient[] = {
        ERROR_WINHTTP_TIMEOUT,                // 12002
        ERROR_WINHTTP_NAME_NOT_RESOLVED,      // 12007
        ERROR_WINHTTP_OPERATION_CANCELLED,    // 12017
        ERROR_WINHTTP_INCORRECT_HANDLE_STATE, // 12019
        ERROR_WINHTTP_CANNOT_CONNECT,         // 12029
        ERROR_WINHTTP_CONNECTION_ERROR,       // 12030
        WSAECONNRESET,                        // 10054: Wine's form of 12030
        WSAETIMEDOUT,                         // 10060: Wine's form of 12002
    };
    for (DWORD code : transient)
        if (hr == HRESULT_FROM_WIN32(code))
            return true;
    return false;
}

void CWinHTTPEngine::ProgressSink::OnBytesWritten(std::uint64_t count)
{
    const std::uint64_t received = m_engine.m_bytesReceived.fetch_add(count, std::memory_order_relaxed) + count;
    if (m_engine.m_manager != nullptr)
        m_engine.m_manager->OnFileProgress(received);
}

CWinHTTPEngine::CWinHTTPEngine(IDownloadEngineObserver* manager, const nlohmann::json* proxySettings)
    : m_manager(manager), m_proxySettings(proxySettings)
{
    initialize();
    if (proxySettings != nullptr) {
        m_proxyRetryCount = JsonInt(*proxySettings, "proxy_retry_count", 1);
        m_allowFallback = JsonBool(*proxySettings, "allow_fallback", true);
    }
}

CWinHTTPEngine::~CWinHTTPEngine()
{
    QK_LOG_INFO(L"Destroying CWinHTTPEngine");
}

void CWinHTTPEngine::initialize()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_expectedTotal = 0;
    m_bytesReceived = 0;
    m_jobState = BG_JOB_STATE_INITIAL;
    m_error = E_UNEXPECTED;
    m_pinRefused = false;
    m_exitRequest = false;
}

HRESULT CWinHTTPEngine::GetError(HRESULT& error)
{
    std::lock_guard<std::mutex> lock(m_lock);
    error = m_error;
    return S_OK;
}

int CWinHTTPEngine::getJobState()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_jobState;
}

DWORD CWinHTTPEngine::getHttpStatus()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_httpStatus;
}

void CWinHTTPEngine::requestExit()
{
    // The read loop sees the stop before the handle goes, never a closed handle without it.
    SetShouldExit(true);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_exitRequest = true;
        if (m_activeClient != nullptr && m_activeRequest != 0) {
            // Closing the handle ends a send, receive or read that waits on the server.
            m_requestAborted = true;
            m_activeClient->CloseRequest(m_activeRequest);
            m_activeClient = nullptr;
            m_activeRequest = 0;
        }
    }
}

void CWinHTTPEngine::clearExit()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_exitRequest = false;
    }
    SetShouldExit(false);
}

bool CWinHTTPEngine::ExitRequested()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_exitRequest;
}

HRESULT CWinHTTPEngine::TrackRequest(CWinHTTPClient& client, RequestId request)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_exitRequest)
        return kCancelledResult;
    m_activeClient = &client;
    m_activeRequest = request;
    return S_OK;
}

void CWinHTTPEngine::CloseTracked(CWinHTTPClient& client, RequestId& request)
{
    if (request == 0)
        return;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_activeClient == &client && m_activeRequest == request) {
            m_activeClient = nullptr;
            m_activeRequest = 0;
        }
    }
    client.CloseRequest(request); // S_FALSE when requestExit closed it already
    request = 0;
}

HRESULT CWinHTTPEngine::StopResult(HRESULT hr)
{
    std::lock_guard<std::mutex> lock(m_lock);
    return FAILED(hr) && m_requestAborted ? kCancelledResult : hr;
}

void CWinHTTPEngine::NoteSendOutcome(const CWinHTTPClient& client)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_pinRefused = client.LastRequestPinRefused();
}

void CWinHTTPEngine::SetFailureState(HRESULT hr)
{
    std::lock_guard<std::mutex> lock(m_lock);
    // The job state follows the WinHTTP failure (a refusal's cancelled send is retried); the
    // error names the refusal when the certificate check caused it.
    m_error = m_pinRefused && hr == HRESULT_FROM_WIN32(ERROR_WINHTTP_OPERATION_CANCELLED) ? Jux::kPinningRefused : hr;
    if (m_error != hr)
        QK_LOG_ERROR(L"The server's certificate was refused, hr=0x%08X", m_error);
    if (hr == kCancelledResult) {
        QK_LOG_INFO(L"Setting m_JobState to BG_JOB_STATE_CANCELLED");
        m_jobState = BG_JOB_STATE_CANCELLED;
    } else if (IsTransientDownloadError(hr)) {
        QK_LOG_WARNING(L"Got a WinHTTP connect or timeout, treating as a transient error so we will retry, hr==0x%08X.",
                       hr);
        m_jobState = m_exitRequest ? BG_JOB_STATE_CANCELLED : BG_JOB_STATE_TRANSIENT_ERROR;
    } else {
        QK_LOG_ERROR(L"Failure in download, hr=0x%08X. Setting m_JobState to BG_JOB_STATE_ERROR", hr);
        m_jobState = m_exitRequest ? BG_JOB_STATE_CANCELLED : BG_JOB_STATE_ERROR;
    }
}

HRESULT CWinHTTPEngine::OpenClient(CWinHTTPClient& client, const std::wstring& address)
{
    client.LoadProxySettings(m_proxySettings, address);
    std::wstring userAgent;
    HRESULT hr = util::FormatUserAgentString(userAgent);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"FormatUserAgentString() failed, hr=0x%08X", hr);
        return hr;
    }
    hr = client.Initialize(userAgent.c_str(), address.c_str(), m_timeoutSeconds, false);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Initialize() failed, hr=0x%08X", hr);
        return hr;
    }
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_exitRequest) {
            QK_LOG_INFO(L"m_ShouldExit == true");
            return kCancelledResult;
        }
        m_httpStatus = 200;
    }
    client.ApplyProxySettings();
    if (client.IsProxyEnabled() && m_proxyRetryCount < 1 && m_allowFallback) {
        QK_LOG_WARNING(L"Exhausted proxy attempts, falling back to direct connection");
        client.SetProxyEnabled(false);
    }
    return S_OK;
}

bool CWinHTTPEngine::RetryThroughProxy(CWinHTTPClient& client)
{
    if (!client.IsProxyEnabled() || m_proxyRetryCount == 0 || !m_allowFallback)
        return false;
    --m_proxyRetryCount;
    return true;
}

HRESULT CWinHTTPEngine::PrepareResponseData(const std::wstring& address, const std::wstring& header, bool& partial,
                                            RequestId& request)
{
    request = 0;
    const bool wanted = partial;
    bool partialResult = true;
    HRESULT hr = E_UNEXPECTED;
    bool success = false;
    do {
        hr = OpenClient(*this, address);
        if (FAILED(hr))
            break;
        hr = GetRequest(header.empty() ? nullptr : header.c_str(), &request);
        NoteSendOutcome(*this);
        if (FAILED(hr)) {
            QK_LOG_ERROR(L"GetRequest() failed, hr=0x%08X", hr);
            request = 0;
            if (!RetryThroughProxy(*this))
                break;
            continue;
        }
        hr = TrackRequest(*this, request);
        if (FAILED(hr))
            break;
        DWORD status = 0;
        hr = GetStatus(request, &status);
        if (FAILED(hr)) {
            QK_LOG_ERROR(L"GetStatus failed, hr=0x%08X", hr);
            break;
        }
        if (!wanted) {
            if (status == 200) {
                success = true;
                break;
            }
            QK_LOG_ERROR(L"Error Unexpected http response status %d", status);
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_httpStatus = status;
            }
            hr = VEK_E_HTTP_DOWNLOAD;
        } else if (status == 206) {
            QK_LOG_INFO(L"Server supports partial download resuming download");
            success = true;
            break;
        } else {
            QK_LOG_WARNING(L"Received %d while expecting partial response", status);
            partialResult = false;
            if (status == 200) {
                // The whole file is in this answer: the caller starts the temporary file anew.
                hr = S_OK;
                success = true;
                break;
            }
            hr = E_FAIL;
        }
        CloseTracked(*this, request);
        --m_proxyRetryCount;
    } while (!success && m_proxyRetryCount >= 0);

    if (wanted)
        partial = partialResult;
    if (ExitRequested()) {
        QK_LOG_INFO(L"m_ShouldExit == true");
        hr = kCancelledResult;
    }
    if (FAILED(hr))
        CloseTracked(*this, request);
    return hr;
}

HRESULT CWinHTTPEngine::ValidatePartialDownloadedFile()
{
    std::lock_guard<std::mutex> lock(m_lock);
    HRESULT hr = S_OK;
    const std::wstring tempPath = m_record.localTempPath.value_or(std::wstring());
    if (m_exitRequest) {
        QK_LOG_INFO(L"m_ShouldExit == true");
        hr = kCancelledResult;
    } else {
        HRESULT exists = CheckFileExists(tempPath.c_str());
        if (FAILED(exists)) {
            QK_LOG_WARNING(L"Temp File %s does not exist , hr - 0x%08x", tempPath.c_str(), exists);
            return exists;
        }
        std::uint64_t size = 0;
        hr = GetFileSize(tempPath.c_str(), size);
        if (FAILED(hr)) {
            QK_LOG_ERROR(L"Failed to get file size for %s , hr - 0x%08x", tempPath.c_str(), hr);
        } else if (m_record.bytesDownloaded != size) {
            QK_LOG_WARNING(L"Downloaded file size[%I64u] and cahced file size [%I64u] doesnt match, ",
                           m_record.bytesDownloaded.value_or(0), size);
            hr = E_FAIL;
        } else if (m_record.bytesTotalCached != m_record.bytesTotal) {
            QK_LOG_WARNING(L"File size has changed from last download, restart the download");
            hr = E_FAIL;
        }
    }
    if (FAILED(hr) && !tempPath.empty() && !::DeleteFileW(tempPath.c_str()))
        QK_LOG_ERROR(L"Failed to delete temperory File, 0x%08x", HRESULT_FROM_WIN32(::GetLastError()));
    return hr;
}

HRESULT CWinHTTPEngine::GetTempFilePath(std::wstring& path, const std::wstring& folder)
{
    wchar_t name[MAX_PATH + 1] = {};
    if (::GetTempFileNameW(folder.empty() ? L"." : folder.c_str(), L"VEK", 0, name) == 0) {
        HRESULT hr = HRESULT_FROM_WIN32(::GetLastError());
        QK_LOG_ERROR(L"GetTempFileName failed, hr=0x%08X", hr);
        return hr;
    }
    if (!::DeleteFileW(name))
        QK_LOG_WARNING(L"DeleteFile failed to delete %s, hr=0x%08X", name, HRESULT_FROM_WIN32(::GetLastError()));
    path = name;
    return S_OK;
}

HRESULT CWinHTTPEngine::FinishDownload(HRESULT hr, RequestId request, nlohmann::json& record)
{
    CloseTracked(*this, request);
    hr = StopResult(hr);
    if (FAILED(hr)) {
        SetFailureState(hr);
    } else {
        std::lock_guard<std::mutex> lock(m_lock);
        m_error = S_OK;
        m_jobState = BG_JOB_STATE_TRANSFERRED;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    m_record.ToJson(record);
    return hr;
}

HRESULT CWinHTTPEngine::download(nlohmann::json& record)
{
    initialize();
    const DownloadRecord given = DownloadRecord::FromJson(record);
    const std::wstring& address = given.downloadUri;
    const std::wstring& destination = given.localFilePath;
    const std::wstring folder = DownloadFolderOf(destination);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_record = given;
        m_requestAborted = false;
        QK_LOG_INFO(L"Attempting download of %s from %s", destination.c_str(), address.c_str());
        m_jobState = BG_JOB_STATE_TRANSFERRING;
    }

    RequestId request = 0;
    bool truncate = true;
    std::uint64_t startOffset = 0;
    std::wstring tempPath;
    HRESULT hr = S_OK;

    if (given.bytesDownloaded) {
        const std::uint64_t downloaded = *given.bytesDownloaded;
        QK_LOG_INFO(L"download for %s was already started, bytes - %I64u", destination.c_str(), downloaded);
        if (SUCCEEDED(ValidatePartialDownloadedFile())) {
            const std::wstring recordTemp = given.localTempPath.value_or(std::wstring());
            const std::wstring header = L"Range: bytes=" + std::to_wstring(downloaded) + L"-\r\n";
            QK_LOG_INFO(L"partial request: %s", header.c_str());
            bool partial = true;
            hr = PrepareResponseData(address, header, partial, request);
            bool restart = false;
            if (FAILED(hr)) {
                if (partial || hr == kCancelledResult)
                    // A transport failure or a stop: the partial file stays for the next attempt.
                    return FinishDownload(hr, 0, record);
                restart = true;
            } else if (!partial) {
                // A 200 to the range request carries the whole file: write it into the emptied file.
                tempPath = recordTemp;
                m_expectedTotal = given.bytesTotal.value_or(0);
                m_bytesReceived = 0;
            } else {
                std::wstring contentRange, lastModified;
                GetHeaderText(request, L"Content-Range", contentRange);
                GetHeaderText(request, L"Last-Modified", lastModified);
                const std::wstring stored = given.dateLastModified.value_or(std::wstring());
                const std::uint64_t knownTotal = given.bytesTotal.value_or(0);
                ContentRange range;
                std::uint64_t rangeLength = 0;
                // The answer must continue the bytes on disk up to the end of the file the size
                // query found, and its body must be that range.
                const bool rangeFits =
                    ParseContentRange(contentRange, range) && range.first == downloaded && range.total != 0 &&
                    range.last + 1 == range.total && (knownTotal == 0 || range.total == knownTotal) &&
                    (FAILED(GetContentLength(request, &rangeLength)) || rangeLength == range.last - range.first + 1);
                if (!rangeFits) {
                    QK_LOG_WARNING(L"Content-Range '%s' does not continue %I64u bytes of %I64u, restart the download",
                                   contentRange.c_str(), downloaded, knownTotal);
                    restart = true;
                } else if (!lastModified.empty() && !stored.empty() && lastModified != stored) {
                    QK_LOG_WARNING(L"Last-Modified changed from '%s' to '%s', restart the download", stored.c_str(),
                                   lastModified.c_str());
                    restart = true;
                } else {
                    std::uint64_t remaining = 0;
                    GetContentLength(request, &remaining);
                    const std::wstring total = given.bytesTotal ? std::to_wstring(*given.bytesTotal) : L"0";
                    QK_LOG_INFO(L"Remaining - %I64u bytes, downloaded - %I64u bytes, Total - %s bytes for file %s ",
                                remaining, downloaded, total.c_str(), destination.c_str());
                    tempPath = recordTemp;
                    truncate = false;
                    startOffset = downloaded;
                    m_bytesReceived = downloaded;
                    m_expectedTotal = range.total;
                }
            }
            if (restart) {
                CloseTracked(*this, request);
                if (!::DeleteFileW(recordTemp.c_str()))
                    QK_LOG_WARNING(L"Failed to delete temporary File, hr=0x%08X", HRESULT_FROM_WIN32(::GetLastError()));
            }
        }
    }

    if (request == 0) {
        if (ExitRequested()) {
            QK_LOG_INFO(L"m_ShouldExit == true");
            return FinishDownload(kCancelledResult, 0, record);
        }
        m_expectedTotal = given.bytesTotal.value_or(0);
        if (!given.bytesTotal) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_record.bytesTotal = 0;
        }
        m_bytesReceived = 0;
        truncate = true;
        startOffset = 0;
        QK_LOG_INFO(L"File Name %s[size %I64u]", destination.c_str(), m_expectedTotal.load());
        bool partial = false;
        hr = PrepareResponseData(address, std::wstring(), partial, request);
        if (FAILED(hr)) {
            QK_LOG_ERROR(L"Get Request Failed, hr=0x%08X", hr);
            return FinishDownload(hr, 0, record);
        }
        hr = GetTempFilePath(tempPath, folder);
        if (FAILED(hr)) {
            QK_LOG_ERROR(L"Failed to create temporary File, hr - 0x%08x", hr);
            return FinishDownload(hr, request, record);
        }
    }

    // Length of this answer's body, when the server gave one.
    std::uint64_t contentLength = 0;
    const bool lengthKnown = SUCCEEDED(GetContentLength(request, &contentLength));

    // Read before the body: a stop closes the request, and its headers with it. When the request
    // is gone already, no byte of it reaches the file and the record keeps its value.
    std::wstring lastModified;
    const HRESULT modifiedRead = GetHeaderText(request, L"Last-Modified", lastModified);
    const bool modifiedKnown =
        SUCCEEDED(modifiedRead) || modifiedRead == HRESULT_FROM_WIN32(ERROR_WINHTTP_HEADER_NOT_FOUND);

    std::uint64_t fileSize = 0;
    {
        HTTPDownloadData data;
        hr = data.Initialize(tempPath, truncate);
        if (SUCCEEDED(hr))
            hr = GetResponse(request, &data, &m_sink);
        if (data.GetSize(fileSize)) {
            std::lock_guard<std::mutex> lock(m_lock);
            if (modifiedKnown)
                m_record.dateLastModified = lastModified;
            m_record.bytesTotal = m_expectedTotal.load();
            m_record.bytesTotalCached = m_expectedTotal.load();
            m_record.bytesDownloaded = fileSize;
            m_record.localTempPath = tempPath;
        }
        data.Close();
    }
    // A stop may cut a body whose end nothing else would show (no length given): it ends cancelled.
    if (SUCCEEDED(hr) && ExitRequested())
        hr = kCancelledResult;
    hr = StopResult(hr);
    if (FAILED(hr)) {
        if (hr == kCancelledResult)
            QK_LOG_INFO(L"download has been cancelled");
        else
            QK_LOG_ERROR(L"GetResponse() failed, hr=0x%08X", hr);
        return FinishDownload(hr, request, record);
    }

    // A body shorter than announced never goes into place: the partial file waits for a resume.
    const std::uint64_t expected = m_expectedTotal;
    const bool shortBody = lengthKnown
                               ? fileSize < startOffset + contentLength || (startOffset != 0 && fileSize < expected)
                               : (expected != 0 && fileSize < expected);
    if (shortBody) {
        // The status was read before the body; reading it again would fail on a finished request.
        QK_LOG_ERROR(L"Bytes download is not equal to the response length, hr=0x%08X", HR_SHORT_BODY);
        return FinishDownload(HR_SHORT_BODY, request, record);
    }

    if (!::MoveFileExW(tempPath.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        hr = HRESULT_FROM_WIN32(::GetLastError());
        QK_LOG_ERROR(L"Failed to move %s to %s, hr=0x%08X", tempPath.c_str(), destination.c_str(), hr);
        ::DeleteFileW(tempPath.c_str());
        return FinishDownload(hr, request, record);
    }
    QK_LOG_INFO(L"file %s has been successfully downloaded", destination.c_str());
    return FinishDownload(S_OK, request, record);
}

HRESULT CWinHTTPEngine::getDownloadSize(std::wstring address, std::uint64_t& size)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_requestAborted = false;
        m_pinRefused = false;
    }
    int redirectsLeft = 10;
    HRESULT hr = E_UNEXPECTED;
    bool stop = false;
    do {
        CWinHTTPClient client;
        hr = OpenClient(client, address);
        if (FAILED(hr))
            break;
        RequestId request = 0;
        hr = client.Query(L"HEAD", nullptr, nullptr, nullptr, 0, nullptr, 0, &request);
        NoteSendOutcome(client);
        if (SUCCEEDED(hr) && client.HasProxyPassword()) {
            // Redirects come back to us so that the proxy credentials are not sent on by WinHTTP.
            DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
            if (!::WinHttpSetOption(client.RequestHandle(request), WINHTTP_OPTION_REDIRECT_POLICY, &policy,
                                    sizeof(policy)))
                QK_LOG_WARNING(L"WinHttpSetOption(WINHTTP_OPTION_REDIRECT_POLICY) failed, %lu", ::GetLastError());
        }
        if (FAILED(hr)) {
            QK_LOG_ERROR(L"Query() failed, hr=0x%08X", hr);
            stop = !RetryThroughProxy(client);
            continue;
        }
        hr = TrackRequest(client, request);
        if (FAILED(hr)) {
            CloseTracked(client, request);
            break;
        }
        DWORD status = 0;
        HRESULT statusHr = client.GetStatus(request, &status);
        if (FAILED(statusHr) || (status != 200 && status != 302)) {
            --m_proxyRetryCount;
            hr = statusHr;
            if (SUCCEEDED(statusHr)) {
                hr = VEK_E_HTTP_DOWNLOAD;
                QK_LOG_ERROR(L"status = %lu, Setting hr = WINHTTP_E_ERROR", status);
                std::lock_guard<std::mutex> lock(m_lock);
                m_httpStatus = status;
            }
            QK_LOG_ERROR(L"GetStatus return code, hr=0x%08X", hr);
        } else if (status == 302) {
            --redirectsLeft;
            std::wstring location;
            hr = client.GetRedirectLocation(client.RequestHandle(request), location);
            if (FAILED(hr)) {
                stop = true;
            } else {
                const std::wstring next = ResolveLocation(address, location);
                if (qkLib::StartsWithAsciiNoCase(address, L"https://") && !qkLib::StartsWithAsciiNoCase(next, L"https://")) {
                    // WinHTTP's own rule for the redirects it follows: never from HTTPS to plain HTTP.
                    QK_LOG_ERROR(L"Refusing the redirect from %s to %s: it leaves HTTPS", address.c_str(),
                                 next.c_str());
                    hr = VEK_E_HTTP_DOWNLOAD;
                    stop = true;
                    std::lock_guard<std::mutex> lock(m_lock);
                    m_httpStatus = status;
                } else {
                    address = next;
                    if (redirectsLeft < 1) {
                        // Out of redirects: a failure, never a size of 0 reported as success.
                        hr = VEK_E_HTTP_DOWNLOAD;
                        std::lock_guard<std::mutex> lock(m_lock);
                        m_httpStatus = status;
                    }
                }
            }
        } else {
            std::wstring length;
            size = 0;
            if (SUCCEEDED(client.GetHeaderText(request, L"Content-Length", length)))
                ParseLength(length, size);
            hr = S_OK;
            stop = true;
        }
        CloseTracked(client, request);
        client.Close();
    } while (!stop && m_proxyRetryCount >= 0 && redirectsLeft >= 1);

    hr = StopResult(hr);
    if (FAILED(hr))
        SetFailureState(hr);
    return hr;
}

} // namespace vek
