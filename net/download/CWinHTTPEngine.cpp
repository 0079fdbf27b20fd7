#include "net/download/CWinHTTPEngine.h"

#include "engine/log/VekLog.h"
#include "net/download/DownloadFiles.h"
#include "net/download/DownloadJson.h"
#include "services/launcher/VekUtil.h"

#include <cwchar>

namespace vek {

namespace {

const HRESULT HR_CANCELLED = HRESULT_FROM_WIN32(ERROR_CANCELLED);
// A body that ended before its length: the connection broke; worth a retry that resumes.
const HRESULT HR_SHORT_BODY = HRESULT_FROM_WIN32(ERROR_WINHTTP_CONNECTION_ERROR);

// "bytes <first>-<last>/<total>": the first byte, or -1 when the text is not of that form.
long long ContentRangeStart(const std::wstring& text)
{
    const wchar_t* p = text.c_str();
    while (*p == L' ')
        ++p;
    if (_wcsnicmp(p, L"bytes", 5) != 0)
        return -1;
    p += 5;
    while (*p == L' ' || *p == L'=')
        ++p;
    if (*p < L'0' || *p > L'9')
        return -1;
    wchar_t* end = nullptr;
    unsigned long long first = wcstoull(p, &end, 10);
    return (end != nullptr && *end == L'-') ? static_cast<long long>(first) : -1;
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
        ERROR_WINHTTP_TIMEOUT,             // 12002
        ERROR_WINHTTP_NAME_NOT_RESOLVED,   // 12007
        ERROR_WINHTTP_OPERATION_CANCELLED, // 12017
        ERROR_WINHTTP_INCORRECT_HANDLE_STATE, // 12019
        ERROR_WINHTTP_CANNOT_CONNECT,      // 12029
        ERROR_WINHTTP_CONNECTION_ERROR,    // 12030
        WSAECONNRESET,                     // 10054: Wine's form of 12030
        WSAETIMEDOUT,                      // 10060: Wine's form of 12002
    };
    for (DWORD code : transient)
        if (hr == HRESULT_FROM_WIN32(code))
            return true;
    return false;
}

void CWinHTTPEngine::ProgressSink::OnBytesWritten(std::uint64_t count)
{
    m_engine.m_bytesReceived += count;
    if (m_engine.m_manager != nullptr)
        m_engine.m_manager->OnFileProgress(m_engine.m_bytesReceived);
}

CWinHTTPEngine::CWinHTTPEngine(IDownloadEngineObserver* manager, const nlohmann::json* proxySettings)
    : m_manager(manager), m_proxySettings(proxySettings)
{
    initialize();
    if (proxySettings != nullptr && proxySettings->is_object()) {
        const nlohmann::json& count = (*proxySettings)["proxy_retry_count"];
        if (count.is_number_integer())
            m_proxyRetryCount = count.get<int>();
        const nlohmann::json& fallback = (*proxySettings)["allow_fallback"];
        if (fallback.is_boolean())
            m_allowFallback = fallback.get<bool>();
    }
}

CWinHTTPEngine::~CWinHTTPEngine()
{
    LogInfo(L"vek::CWinHTTPEngine::~CWinHTTPEngine : Destroying CWinHTTPEngine");
}

void CWinHTTPEngine::initialize()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_expectedTotal = 0;
    m_bytesReceived = 0;
    m_jobState = BG_JOB_STATE_INITIAL;
    m_error = E_UNEXPECTED;
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
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_exitRequest = true;
    }
    SetShouldExit(true);
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

void CWinHTTPEngine::SetFailureState(HRESULT hr)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_error = hr;
    if (hr == HR_CANCELLED) {
        LogInfo(L"vek::CWinHTTPEngine::SetFailureState : Setting m_JobState to BG_JOB_STATE_CANCELLED");
        m_jobState = BG_JOB_STATE_CANCELLED;
    } else if (IsTransientDownloadError(hr)) {
        LogWarning(L"vek::CWinHTTPEngine::SetFailureState : Got a WinHTTP connect or timeout, treating as a transient error so we will retry, hr==0x%08X.",
                   hr);
        m_jobState = m_exitRequest ? BG_JOB_STATE_CANCELLED : BG_JOB_STATE_TRANSIENT_ERROR;
    } else {
        LogError(L"vek::CWinHTTPEngine::SetFailureState : Failure in download, hr=0x%08X. Setting m_JobState to BG_JOB_STATE_ERROR",
                 hr);
        m_jobState = m_exitRequest ? BG_JOB_STATE_CANCELLED : BG_JOB_STATE_ERROR;
    }
}

HRESULT CWinHTTPEngine::PrepareResponseData(const std::wstring& address, const std::wstring& header, bool& partial,
                                            RequestId& request)
{
    request = 0;
    LoadProxySettings(m_proxySettings, address);
    const bool wanted = partial;
    bool partialResult = true;
    HRESULT hr = E_UNEXPECTED;
    bool success = false;
    do {
        std::wstring userAgent;
        hr = util::FormatUserAgentString(userAgent);
        if (FAILED(hr)) {
            LogError(L"vek::CWinHTTPEngine::PrepareResponseData : FormatUserAgentString() failed, hr=0x%08X", hr);
            break;
        }
        hr = Initialize(userAgent.c_str(), address.c_str(), m_timeoutSeconds, false);
        if (FAILED(hr)) {
            LogError(L"vek::CWinHTTPEngine::PrepareResponseData : Initialize() failed, hr=0x%08X", hr);
            break;
        }
        if (ExitRequested()) {
            LogInfo(L"vek::CWinHTTPEngine::PrepareResponseData : m_ShouldExit == true");
            hr = HR_CANCELLED;
            break;
        }
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_httpStatus = 200;
        }
        ApplyProxySettings();
        if (IsProxyEnabled() && m_proxyRetryCount < 1 && m_allowFallback) {
            LogWarning(L"vek::CWinHTTPEngine::PrepareResponseData : Exhausted proxy attempts, falling back to direct connection");
            SetProxyEnabled(false);
        }
        hr = GetRequest(header.empty() ? nullptr : header.c_str(), &request);
        if (FAILED(hr)) {
            LogError(L"vek::CWinHTTPEngine::PrepareResponseData : GetRequest() failed, hr=0x%08X", hr);
            request = 0;
            if (!IsProxyEnabled() || m_proxyRetryCount == 0 || !m_allowFallback)
                break;
            --m_proxyRetryCount;
            continue;
        }
        DWORD status = 0;
        hr = GetStatus(request, &status);
        if (FAILED(hr)) {
            LogError(L"vek::CWinHTTPEngine::PrepareResponseData : GetStatus failed, hr=0x%08X", hr);
            break;
        }
        if (!wanted) {
            if (status == 200) {
                success = true;
                break;
            }
            LogError(L"vek::CWinHTTPEngine::PrepareResponseData : Error Unexpected http response status %d", status);
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_httpStatus = status;
            }
            hr = VEK_E_HTTP_DOWNLOAD;
        } else if (status == 206) {
            LogInfo(L"vek::CWinHTTPEngine::PrepareResponseData : Server supports partial download resuming download");
            success = true;
            break;
        } else {
            LogWarning(L"vek::CWinHTTPEngine::PrepareResponseData : Received %d while expecting partial response", status);
            partialResult = false;
            if (status == 200) {
                // The whole file is in this answer: the caller starts the temporary file anew.
                hr = S_OK;
                success = true;
                break;
            }
            hr = E_FAIL;
        }
        CloseRequest(request);
        request = 0;
        --m_proxyRetryCount;
    } while (!success && m_proxyRetryCount >= 0);

    if (wanted)
        partial = partialResult;
    if (ExitRequested()) {
        LogInfo(L"vek::CWinHTTPEngine::PrepareResponseData : m_ShouldExit == true");
        hr = HR_CANCELLED;
    }
    if (FAILED(hr) && request != 0) {
        CloseRequest(request);
        request = 0;
    }
    return hr;
}

HRESULT CWinHTTPEngine::ValidatePartialDownloadedFile()
{
    std::lock_guard<std::mutex> lock(m_lock);
    HRESULT hr = S_OK;
    std::wstring tempPath = JsonWString(m_record, "LocalTempPath");
    if (m_exitRequest) {
        LogInfo(L"vek::CWinHTTPEngine::ValidatePartialDownloadedFile : m_ShouldExit == true");
        hr = HR_CANCELLED;
    } else {
        HRESULT exists = CheckFileExists(tempPath.c_str());
        if (FAILED(exists)) {
            LogWarning(L"vek::CWinHTTPEngine::ValidatePartialDownloadedFile : Temp File %s does not exist , hr - 0x%08x",
                       tempPath.c_str(), exists);
            return exists;
        }
        // Throws for a count that is not a decimal number; the manager's thread catches it.
        std::uint64_t cached = JsonDecimalU64(m_record, "BytesTotalCached");
        std::uint64_t downloaded = JsonDecimalU64(m_record, "BytesDownloaded");
        std::uint64_t total = JsonDecimalU64(m_record, "BytesTotal");
        std::uint64_t size = 0;
        hr = GetFileSize(tempPath.c_str(), size);
        if (FAILED(hr)) {
            LogError(L"vek::CWinHTTPEngine::ValidatePartialDownloadedFile : Failed to get file size for %s , hr - 0x%08x",
                     tempPath.c_str(), hr);
        } else if (downloaded != size) {
            LogWarning(L"vek::CWinHTTPEngine::ValidatePartialDownloadedFile : Downloaded file size[%I64u] and cahced file size [%I64u] doesnt match, ",
                       downloaded, size);
            hr = E_FAIL;
        } else if (cached != total) {
            LogWarning(L"vek::CWinHTTPEngine::ValidatePartialDownloadedFile : File size has changed from last download, restart the download");
            hr = E_FAIL;
        }
    }
    if (FAILED(hr) && !tempPath.empty() && !::DeleteFileW(tempPath.c_str()))
        LogError(L"vek::CWinHTTPEngine::ValidatePartialDownloadedFile : Failed to delete temperory File, 0x%08x",
                 HRESULT_FROM_WIN32(::GetLastError()));
    return hr;
}

HRESULT CWinHTTPEngine::GetTempFilePath(std::wstring& path, const std::wstring& folder)
{
    wchar_t name[MAX_PATH + 1] = {};
    if (::GetTempFileNameW(folder.empty() ? L"." : folder.c_str(), L"VEK", 0, name) == 0) {
        HRESULT hr = HRESULT_FROM_WIN32(::GetLastError());
        LogError(L"vek::CWinHTTPEngine::GetTempFilePath : GetTempFileName failed, hr=0x%08X", hr);
        return hr;
    }
    if (!::DeleteFileW(name))
        LogWarning(L"vek::CWinHTTPEngine::GetTempFilePath : DeleteFile failed to delete %s, hr=0x%08X", name,
                   HRESULT_FROM_WIN32(::GetLastError()));
    path = name;
    return S_OK;
}

HRESULT CWinHTTPEngine::FinishDownload(HRESULT hr, RequestId request, nlohmann::json& record)
{
    if (request != 0)
        CloseRequest(request);
    if (FAILED(hr)) {
        SetFailureState(hr);
    } else {
        std::lock_guard<std::mutex> lock(m_lock);
        m_error = S_OK;
        m_jobState = BG_JOB_STATE_TRANSFERRED;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    record = m_record;
    return hr;
}

HRESULT CWinHTTPEngine::download(nlohmann::json& record)
{
    initialize();
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_record = record;
    }
    const std::wstring address = JsonWString(record, "DownloadUri");
    const std::wstring destination = JsonWString(record, "LocalFilePath");
    const std::wstring folder = DownloadFolderOf(destination);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        LogInfo(L"vek::CWinHTTPEngine::download : Attempting download of %s from %s", destination.c_str(),
                address.c_str());
        m_jobState = BG_JOB_STATE_TRANSFERRING;
    }

    RequestId request = 0;
    bool truncate = true;
    std::uint64_t startOffset = 0;
    std::wstring tempPath;
    HRESULT hr = S_OK;

    if (JsonHas(record, "BytesDownloaded")) {
        const std::uint64_t downloaded = JsonDecimalU64(record, "BytesDownloaded");
        LogInfo(L"vek::CWinHTTPEngine::download : download for %s was already started, bytes - %I64u",
                destination.c_str(), downloaded);
        if (SUCCEEDED(ValidatePartialDownloadedFile())) {
            const std::wstring recordTemp = JsonWString(record, "LocalTempPath");
            const std::wstring header = L"Range: bytes=" + std::to_wstring(downloaded) + L"-\r\n";
            LogInfo(L"vek::CWinHTTPEngine::download : partial request: %s", header.c_str());
            bool partial = true;
            hr = PrepareResponseData(address, header, partial, request);
            bool restart = false;
            if (FAILED(hr)) {
                if (partial || hr == HR_CANCELLED)
                    // A transport failure or a stop: the partial file stays for the next attempt.
                    return FinishDownload(hr, 0, record);
                restart = true;
            } else if (!partial) {
                // A 200 to the range request carries the whole file: write it into the emptied file.
                tempPath = recordTemp;
                m_expectedTotal = JsonDecimalU64(record, "BytesTotal");
                m_bytesReceived = 0;
            } else {
                std::wstring contentRange, lastModified;
                GetHeaderText(request, L"Content-Range", contentRange);
                GetHeaderText(request, L"Last-Modified", lastModified);
                const std::wstring stored = JsonWString(record, "DateLastModifed");
                if (ContentRangeStart(contentRange) != static_cast<long long>(downloaded)) {
                    LogWarning(L"vek::CWinHTTPEngine::download : Content-Range '%s' does not start at %I64u, restart the download",
                               contentRange.c_str(), downloaded);
                    restart = true;
                } else if (!lastModified.empty() && !stored.empty() && lastModified != stored) {
                    LogWarning(L"vek::CWinHTTPEngine::download : Last-Modified changed from '%s' to '%s', restart the download",
                               stored.c_str(), lastModified.c_str());
                    restart = true;
                } else {
                    std::uint64_t remaining = 0;
                    GetContentLength(request, &remaining);
                    const std::string total = record.value("BytesTotal", std::string("0"));
                    LogInfo(L"vek::CWinHTTPEngine::download : Remaining - %I64u bytes, downloaded - %I64u bytes, Total - %S bytes for file %s ",
                            remaining, downloaded, total.c_str(), destination.c_str());
                    tempPath = recordTemp;
                    truncate = false;
                    startOffset = downloaded;
                    m_bytesReceived = downloaded;
                    m_expectedTotal = JsonDecimalU64(record, "BytesTotal");
                }
            }
            if (restart) {
                if (request != 0)
                    CloseRequest(request);
                request = 0;
                if (!::DeleteFileW(recordTemp.c_str()))
                    LogWarning(L"vek::CWinHTTPEngine::download : Failed to delete temporary File, hr=0x%08X",
                               HRESULT_FROM_WIN32(::GetLastError()));
            }
        }
    }

    if (request == 0) {
        if (ExitRequested()) {
            LogInfo(L"vek::CWinHTTPEngine::download : m_ShouldExit == true");
            return FinishDownload(HR_CANCELLED, 0, record);
        }
        if (JsonHas(record, "BytesTotal")) {
            m_expectedTotal = JsonDecimalU64(record, "BytesTotal");
        } else {
            m_expectedTotal = 0;
            std::lock_guard<std::mutex> lock(m_lock);
            m_record["BytesTotal"] = "0";
        }
        m_bytesReceived = 0;
        truncate = true;
        startOffset = 0;
        LogInfo(L"vek::CWinHTTPEngine::download : File Name %s[size %I64u]", destination.c_str(), m_expectedTotal);
        bool partial = false;
        hr = PrepareResponseData(address, std::wstring(), partial, request);
        if (FAILED(hr)) {
            LogError(L"vek::CWinHTTPEngine::download : Get Request Failed, hr=0x%08X", hr);
            return FinishDownload(hr, 0, record);
        }
        hr = GetTempFilePath(tempPath, folder);
        if (FAILED(hr)) {
            LogError(L"vek::CWinHTTPEngine::download : Failed to create temporary File, hr - 0x%08x", hr);
            return FinishDownload(hr, request, record);
        }
    }

    // Length of this answer's body, when the server gave one.
    std::uint64_t contentLength = 0;
    const bool lengthKnown = SUCCEEDED(GetContentLength(request, &contentLength));

    std::uint64_t fileSize = 0;
    {
        HTTPDownloadData data;
        hr = data.Initialize(tempPath, truncate);
        if (SUCCEEDED(hr))
            hr = GetResponse(request, &data, &m_sink);
        if (data.GetSize(fileSize)) {
            std::wstring lastModified;
            GetHeaderText(request, L"Last-Modified", lastModified);
            std::lock_guard<std::mutex> lock(m_lock);
            m_record["DateLastModifed"] = WideToUtf8(lastModified);
            m_record["BytesTotal"] = DecimalString(m_expectedTotal);
            m_record["BytesTotalCached"] = DecimalString(m_expectedTotal);
            m_record["BytesDownloaded"] = DecimalString(fileSize);
            m_record["LocalTempPath"] = WideToUtf8(tempPath);
        }
        data.Close();
    }
    if (FAILED(hr)) {
        if (hr == HR_CANCELLED)
            LogInfo(L"vek::CWinHTTPEngine::download : download has been cancelled");
        else
            LogError(L"vek::CWinHTTPEngine::download : GetResponse() failed, hr=0x%08X", hr);
        return FinishDownload(hr, request, record);
    }

    // A body shorter than announced never goes into place: the partial file waits for a resume.
    const bool shortBody = lengthKnown ? fileSize < startOffset + contentLength
                                       : (m_expectedTotal != 0 && fileSize < m_expectedTotal);
    if (shortBody) {
        // The status was read before the body; reading it again would fail on a finished request.
        LogError(L"vek::CWinHTTPEngine::download : Bytes download is not equal to the response length, hr=0x%08X",
                 HR_SHORT_BODY);
        return FinishDownload(HR_SHORT_BODY, request, record);
    }

    if (!::MoveFileExW(tempPath.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        hr = HRESULT_FROM_WIN32(::GetLastError());
        LogError(L"vek::CWinHTTPEngine::download : Failed to move %s to %s, hr=0x%08X", tempPath.c_str(),
                 destination.c_str(), hr);
        ::DeleteFileW(tempPath.c_str());
        return FinishDownload(hr, request, record);
    }
    LogInfo(L"vek::CWinHTTPEngine::download : file %s has been successfully downloaded", destination.c_str());
    return FinishDownload(S_OK, request, record);
}

HRESULT CWinHTTPEngine::getDownloadSize(std::wstring address, std::uint64_t& size)
{
    int redirectsLeft = 10;
    HRESULT hr = E_UNEXPECTED;
    bool stop = false;
    do {
        CWinHTTPClient client;
        client.LoadProxySettings(m_proxySettings, address);
        std::wstring userAgent;
        hr = util::FormatUserAgentString(userAgent);
        if (FAILED(hr)) {
            LogError(L"vek::CWinHTTPEngine::getDownloadSize : FormatUserAgentString() failed, hr=0x%08X", hr);
            break;
        }
        hr = client.Initialize(userAgent.c_str(), address.c_str(), m_timeoutSeconds, false);
        if (FAILED(hr)) {
            LogError(L"vek::CWinHTTPEngine::getDownloadSize : Initialize() failed, hr=0x%08X", hr);
            break;
        }
        if (ExitRequested()) {
            hr = HR_CANCELLED;
            break;
        }
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_httpStatus = 200;
        }
        client.ApplyProxySettings();
        if (client.IsProxyEnabled() && m_proxyRetryCount < 1 && m_allowFallback) {
            LogWarning(L"vek::CWinHTTPEngine::getDownloadSize : Exhausted proxy attempts, falling back to direct connection");
            client.SetProxyEnabled(false);
        }
        RequestId request = 0;
        hr = client.Query(L"HEAD", nullptr, nullptr, nullptr, 0, nullptr, 0, &request);
        if (SUCCEEDED(hr) && client.HasProxyPassword()) {
            // Redirects come back to us so that the proxy credentials are not sent on by WinHTTP.
            DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
            ::WinHttpSetOption(client.RequestHandle(request), WINHTTP_OPTION_REDIRECT_POLICY, &policy,
                               sizeof(policy));
        }
        if (FAILED(hr)) {
            LogError(L"vek::CWinHTTPEngine::getDownloadSize : Query() failed, hr=0x%08X", hr);
            if (!client.IsProxyEnabled() || m_proxyRetryCount == 0 || !m_allowFallback)
                stop = true;
            else
                --m_proxyRetryCount;
            continue;
        }
        DWORD status = 0;
        HRESULT statusHr = client.GetStatus(request, &status);
        if (FAILED(statusHr) || (status != 200 && status != 302)) {
            --m_proxyRetryCount;
            hr = statusHr;
            if (SUCCEEDED(statusHr)) {
                hr = VEK_E_HTTP_DOWNLOAD;
                LogError(L"vek::CWinHTTPEngine::getDownloadSize : status = %lu, Setting hr = WINHTTP_E_ERROR", status);
                std::lock_guard<std::mutex> lock(m_lock);
                m_httpStatus = status;
            }
            LogError(L"vek::CWinHTTPEngine::getDownloadSize : GetStatus return code, hr=0x%08X", hr);
        } else if (status == 302) {
            --redirectsLeft;
            std::wstring location;
            hr = client.GetRedirectLocation(client.RequestHandle(request), location);
            if (FAILED(hr)) {
                stop = true;
            } else {
                address = ResolveLocation(address, location);
                if (redirectsLeft < 1) {
                    // Out of redirects: a failure, never a size of 0 reported as success.
                    hr = VEK_E_HTTP_DOWNLOAD;
                    std::lock_guard<std::mutex> lock(m_lock);
                    m_httpStatus = status;
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
        client.CloseRequest(request);
        client.Close();
    } while (!stop && m_proxyRetryCount >= 0 && redirectsLeft >= 1);

    if (FAILED(hr))
        SetFailureState(hr);
    return hr;
}

} // namespace vek
