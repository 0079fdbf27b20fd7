#pragma once
// Transfers one file at a time for the download manager: size queries (HEAD), downloads into a
// temporary file beside the destination, resumption with a range request, proxy fall-back to a
// direct connection, failure classification in the BITS job-state numbering, and the final move
// onto the destination. Synchronous, on the download thread; the state of a transfer lives in the
// file's download record (JSON, numbers as decimal strings).
#include "net/download/CWinHTTPClient.h"
#include "net/download/IDownloadEngineObserver.h"
#include "services/launcher/VekResultCodes.h"

#include <nlohmann/json.hpp>

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
    // writes the resume keys back into the record.
    HRESULT download(nlohmann::json& record);
    // HEAD of the address (redirects followed); size 0 when the server gives no length.
    HRESULT getDownloadSize(std::wstring address, std::uint64_t& size);

    HRESULT GetError(HRESULT& error);
    int getJobState();
    DWORD getHttpStatus();
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
    bool ExitRequested();
    HRESULT FinishDownload(HRESULT hr, RequestId request, nlohmann::json& record);

    IDownloadEngineObserver* m_manager;
    ProgressSink m_sink{*this};
    std::uint64_t m_expectedTotal = 0;
    std::uint64_t m_bytesReceived = 0;
    std::mutex m_lock;
    nlohmann::json m_record;
    const nlohmann::json* m_proxySettings;
    int m_jobState = BG_JOB_STATE_INITIAL;
    int m_proxyRetryCount = 1;
    bool m_allowFallback = true;
    HRESULT m_error = E_UNEXPECTED;
    bool m_exitRequest = false;
    DWORD m_httpStatus = 200;
    DWORD m_timeoutSeconds = 30;
};

} // namespace vek
