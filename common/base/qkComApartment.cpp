#include "common/base/qkComApartment.h"

#include "common/base/qkTrace.h"

#include <objbase.h>

qkComApartment::~qkComApartment()
{
    Uninitialize();
}

HRESULT qkComApartment::Initialize(DWORD mode)
{
    HRESULT hr = S_OK;
    switch (mode) {
    case ModeDefault:
    case ModeMultithreaded:
        QK_TRACE(L"COINIT_MULTITHREADED");
        hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        break;
    case ModeApartmentThreaded:
        QK_TRACE(L"COINIT_APARTMENTTHREADED");
        hr = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        break;
    case ModeNone:
        break;
    default:
        QK_TRACE(L"unknown mode %lu", mode);
        return E_FAIL;
    }
    if (FAILED(hr)) {
        QK_TRACE(L"CoInitializeEx failed : 0x%08X", static_cast<unsigned>(hr));
        return hr;
    }
    m_mode = mode;
    m_thread = ::GetCurrentThreadId();
    return hr;
}

void qkComApartment::Uninitialize()
{
    if (m_mode == ModeNone) {
        return;
    }
    if (::GetCurrentThreadId() != m_thread) {
        // Only the thread that entered may leave; COM stays as it is.
        QK_TRACE(L"apartment of thread %lu not left on thread %lu", m_thread, ::GetCurrentThreadId());
        return;
    }
    ::CoUninitialize();
    m_mode = ModeNone;
}
