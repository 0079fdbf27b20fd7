#include "common/errors/qkTalErrorInstance.h"

#include <new>

#include "common/base/qkTrace.h"
#include "common/diag/qkContextCapture.h"
#include "common/errors/qkTalErrorInstanceImpl.h"

qkTalErrorInstance::qkTalErrorInstance() : m_impl(new (std::nothrow) qkTalErrorInstanceImpl(this)) {}

qkTalErrorInstance::~qkTalErrorInstance() = default;

__attribute__((noinline)) HRESULT qkTalErrorInstance::Report(const wchar_t* idText, ULONG_PTR failureAddress,
                                                             DWORD number1, DWORD number2, DWORD number3,
                                                             bool terminate, bool dumpAllowed, DWORD samplingDivisor,
                                                             const wchar_t* extraText)
{
    if (!m_impl)
        return E_OUTOFMEMORY;
    HRESULT hr = m_impl->ShouldReport(samplingDivisor);
    if (FAILED(hr))
        return hr;
    // The reporting thread's registers here, as the stack walk and the dump start from them.
    CONTEXT context{};
    if (!qkContextCapture::Capture(context))
        return E_UNEXPECTED;
    if (failureAddress == 0)
        failureAddress = reinterpret_cast<ULONG_PTR>(__builtin_return_address(0));
    return m_impl->Report(context, idText, failureAddress, number1, number2, number3, terminate, dumpAllowed,
                          samplingDivisor, extraText);
}

HRESULT qkTalErrorInstance::SetProperty(const wchar_t* name, const wchar_t* value)
{
    return m_impl ? m_impl->SetProperty(name, value) : E_OUTOFMEMORY;
}

HRESULT qkTalErrorInstance::AddCertAnalysis(IByteStream* stream)
{
    return m_impl ? m_impl->AddCertAnalysis(stream) : E_OUTOFMEMORY;
}

void qkTalErrorInstance::SetCallbackTimeout(DWORD milliseconds)
{
    if (m_impl)
        m_impl->SetCallbackTimeout(milliseconds);
}
