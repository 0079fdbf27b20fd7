#pragma once
// The work behind qkTalErrorInstance: one instance file at a time, from Report to Finish.
#include <windows.h>

#include <string>

#include <wrl/client.h>

#include "common/diag/qkTalErrorInstanceStore.h"
#include "common/diag/qkTalLogicalFailureAnalyzer.h"
#include "common/errors/qkTalErrorClientOptions.h"

class qkTalErrorInstance;

class qkTalErrorInstanceImpl {
public:
    static constexpr DWORD kDefaultMaxDumpsPerBucket = 10;
    static constexpr DWORD kDefaultCallbackTimeout = 10 * 60 * 1000;
    static constexpr DWORD kTerminateExitCode = 0x40010004;

    explicit qkTalErrorInstanceImpl(qkTalErrorInstance* owner) : m_owner(owner) {}
    virtual ~qkTalErrorInstanceImpl();
    qkTalErrorInstanceImpl(const qkTalErrorInstanceImpl&) = delete;
    qkTalErrorInstanceImpl& operator=(const qkTalErrorInstanceImpl&) = delete;

    HRESULT Report(const CONTEXT& context, const wchar_t* idText, ULONG_PTR failureAddress, DWORD number1,
                   DWORD number2, DWORD number3, bool terminate, bool dumpAllowed, DWORD divisor,
                   const wchar_t* extraText);
    HRESULT SetProperty(const wchar_t* name, const wchar_t* value);
    HRESULT AddCertAnalysis(IByteStream* stream);
    HRESULT Finish();
    void SetCallbackTimeout(DWORD milliseconds) { m_callbackTimeout = milliseconds; }

    // Sampling and configuration: S_OK when this report is to be recorded.
    HRESULT ShouldReport(DWORD divisor);
    HRESULT GetOptions(qkTalErrorClientOptions& options);
    // The bucket of the failing module's name and the failure offset (keys 11 and 14), into key 3.
    static HRESULT ComputeBucket(IKeyValueCollection* collection);
    HRESULT CreateInstanceFile(const std::wstring& directory, IKeyValueCollection* collection,
                               const std::wstring* folder);
    static HRESULT ReadMaxDumpsPerBucket(DWORD& maximum);

private:
    HRESULT BuildInstance(const CONTEXT& context, const wchar_t* idText, ULONG_PTR failureAddress, DWORD number1,
                          DWORD number2, DWORD number3, bool terminate, bool dumpAllowed, DWORD divisor,
                          const wchar_t* extraText);
    HRESULT StartCallback(const std::wstring& path);
    HRESULT FetchPropertyCollection();
    static bool IsProtectedMode();
    static DWORD Random();

    qkTalErrorInstance* m_owner;
    qkTalLogicalFailureAnalyzer m_analyzer;
    qkTalErrorInstanceStore m_store;
    Microsoft::WRL::ComPtr<IIndexValueCollection> m_properties;
    qkTalErrorClientOptions m_options;
    bool m_optionsLoaded = false;
    bool m_instanceWritten = false;
    bool m_terminateOnFinish = false;
    bool m_inTemporaryFolder = false;
    DWORD m_callbackTimeout = kDefaultCallbackTimeout;
};
