#pragma once
// Transfers one file at a time for the download manager: size queries (HEAD), downloads into a
// temporary file beside the destination, resumption with a range request, proxy fall-back to a
// direct connection, failure classification in the BITS job-state numbering, and the final move
// onto the destination. Synchronous, on the download thread; the state of a transfer lives in the
// file's download record (JSON, numbers as decimal strings).
#include "net/download/CWinHTTPClient.h"
#include "net/download/DownloadRecord.h"
#include "net/download/IDownloadEngineObserver.h"
#include "services/launcher/VekResultCodes.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace vek {

// Job states, numbered as the Windows BITS job states.
enum : int {
    BG_JOB_STATE_INITIAL = 0,
    BG_JOB_STATE_TRANSFERRING = 2,
    BG_JOB_STATE_SUSPENDED = 3,
    BG_JOB_STATE_ERROR = 4,
    BG_JOB_STATE_TRANSIENT_ERROR = 5,
    BG_JOB_STATE_TRANSFERRED = 6,
    BG_JOB_STATE_CANCELLED = 8,
};

// Failures worth a retry: time-out, name not resolved, cancelled, wrong handle state, cannot
// connect, connection error, and the raw socket errors Wine gives for the last two.
bool IsTransientDownloadError(HRESULT hr);

class CWinHTTPEngine : public CWinHTTPClient {
public:
    CWinHTTPEngine(IDownloadEngineObserver* manager, const nlohmann::json* proxySettings);
    ~CWinHTTPEngine() override;

    void initialize();
    // Downloads the record's `DownloadUri` to its `LocalFilePath`, resuming when the record allows;
    // writes the resume keys back into the record. A count in the record that is not a decimal
    // number throws std::invalid_argument.
    HRESULT download(nlohmann::json& record);
    // HEAD of the address (redirects followed, never from HTTPS to plain HTTP: that fails with
    // VEK_E_HTTP_DOWNLOAD and HTTP status 302); size 0 when the server gives no length.
    HRESULT getDownloadSize(std::wstring address, std::uint64_t& size);

    HRESULT GetError(HRESULT& error);
    int getJobState();
    DWORD getHttpStatus();
    // requestExit also closes the request in progress, so that a receive blocked on a silent server
    // ends now rather than at its time-out (Windows ends it so; Wine lets it run to the time-out,
    // and the outcome is the stop's either way).
    void requestExit();
    void clearExit();

    // Connection, send and receive time-out of every request, in seconds (30).
    void SetTimeoutSeconds(DWORD seconds) { m_timeoutSeconds = seconds; }

private:
    class ProgressSink : public IDownloadProgressSink {
    public:
        explicit ProgressSink(CWinHTTPEngine& engine) : m_engine(engine) {}
        void OnBytesWritten(std::uint64_t count) override;

    private:
        CWinHTTPEngine& m_engine;
    };

    HRESULT PrepareResponseData(const std::wstring& address, const std::wstring& header, bool& partial,
                                RequestId& request);
    HRESULT ValidatePartialDownloadedFile();
    HRESULT GetTempFilePath(std::wstring& path, const std::wstring& folder);
    void SetFailureState(HRESULT hr);
    void NoteSendOutcome(const CWinHTTPClient& client);
    bool ExitRequested();
    HRESULT FinishDownload(HRESULT hr, RequestId request, nlohmann::json& record);

    // Readies a client for the address: proxy settings, user agent, Initialize, the exit test, and
    // the proxy or, once the proxy attempts are used up and the fall-back is allowed, a direct
    // connection. The one place of the fall-back rule, for downloads and size queries alike.
    HRESULT OpenClient(CWinHTTPClient& client, const std::wstring& address);
    // After a request that could not be sent: true when another attempt through the proxy is due
    // (one proxy attempt is used up); false when the client is direct or no attempt is left.
    bool RetryThroughProxy(CWinHTTPClient& client);
    // The request that requestExit closes; Track fails with ERROR_CANCELLED when an exit is already
    // requested. Close untracks before closing, so the two threads never close one handle twice.
    HRESULT TrackRequest(CWinHTTPClient& client, RequestId request);
    void CloseTracked(CWinHTTPClient& client, RequestId& request);
    // A failure after requestExit closed the request is the stop's, whatever WinHTTP reported.
    HRESULT StopResult(HRESULT hr);

    IDownloadEngineObserver* m_manager;
    ProgressSink m_sink{*this};
    // Read by the progress sink on the download thread, reset by initialize on any thread.
    std::atomic<std::uint64_t> m_expectedTotal{0};
    std::atomic<std::uint64_t> m_bytesReceived{0};
    std::mutex m_lock;
    DownloadRecord m_record;
    CWinHTTPClient* m_activeClient = nullptr;
    RequestId m_activeRequest = 0;
    bool m_requestAborted = false;
    const nlohmann::json* m_proxySettings;
    int m_jobState = BG_JOB_STATE_INITIAL;
    int m_proxyRetryCount = 1;
    bool m_allowFallback = true;
    HRESULT m_error = E_UNEXPECTED;
    // The last request that could not be sent was refused by the certificate check: its failure
    // (operation cancelled) is retried like any transient one, but the file's error names the
    // refusal, never a network failure.
    bool m_pinRefused = false;
    bool m_exitRequest = false;
    DWORD m_httpStatus = 200;
    DWORD m_timeoutSeconds = 30;
};

} // namespace vek
