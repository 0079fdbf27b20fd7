#pragma once
// A report of a logical failure: a condition the program survived but wants recorded. Report
// decides by sampling and configuration ("ErrorClient" options) whether to record it, has the
// logical failure analyzer describe process, failing module and stack, files the description as
// "<Directory>\<bucket %08X>\<GUID>.dat" (or in the temporary folder when the program is not ours
// or may not write there), optionally with a minidump inside. SetProperty and AddCertAnalysis add
// to the open file; destruction finishes it and starts the configured callback program with the
// file's path.
#include <windows.h>

#include <memory>

#include "common/persist/IByteStream.h"

class qkTalErrorInstanceImpl;

class qkTalErrorInstance {
public:
    qkTalErrorInstance();
    virtual ~qkTalErrorInstance();
    qkTalErrorInstance(const qkTalErrorInstance&) = delete;
    qkTalErrorInstance& operator=(const qkTalErrorInstance&) = delete;

    // S_OK: written; S_FALSE: the bucket is full (nothing written) or only the dump failed;
    // 0x8007050C: not sampled or not switched on; another error: nothing written. A failure
    // address of 0 stands for the caller's return address. Texts may be null.
    HRESULT Report(const wchar_t* idText, ULONG_PTR failureAddress, DWORD number1, DWORD number2, DWORD number3,
                   bool terminate, bool dumpAllowed, DWORD samplingDivisor, const wchar_t* extraText);
    // A named text in the open instance file; E_UNEXPECTED without one.
    HRESULT SetProperty(const wchar_t* name, const wchar_t* value);
    // The stream's bytes as the "Cert Analysis" attachment; E_UNEXPECTED without an open file.
    HRESULT AddCertAnalysis(IByteStream* stream);
    // How long finishing waits for the callback program (milliseconds); a program that outlives
    // it is left running and the instance file is kept.
    void SetCallbackTimeout(DWORD milliseconds);

private:
    std::unique_ptr<qkTalErrorInstanceImpl> m_impl;
};
