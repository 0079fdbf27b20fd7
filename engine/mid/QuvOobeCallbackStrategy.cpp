#include "engine/mid/QuvOobeCallbackStrategy.h"

#include "common/errors/qkLog.h"

bool QuvOobeCallbackStrategy::InitializeStrategy()
{
    m_kernel32.Reset(::LoadLibraryExW(L"kernel32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!m_kernel32)
        return false;
    m_register = reinterpret_cast<RegisterWaitFn>(
        reinterpret_cast<void*>(::GetProcAddress(m_kernel32.Get(), "RegisterWaitUntilOOBECompleted")));
    m_unregister = reinterpret_cast<UnregisterWaitFn>(
        reinterpret_cast<void*>(::GetProcAddress(m_kernel32.Get(), "UnregisterWaitUntilOOBECompleted")));
    m_complete =
        reinterpret_cast<OobeCompleteFn>(reinterpret_cast<void*>(::GetProcAddress(m_kernel32.Get(), "OOBEComplete")));
    if (!m_register || !m_unregister || !m_complete) {
        QK_LOG_INFO(L"The OOBE exports of kernel32 are not available");
        return false;
    }
    m_event.Attach(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_event.IsValid()) {
        QK_LOG_ERROR(L"CreateEventW failed, error %lu", ::GetLastError());
        return false;
    }
    m_initialized = true;
    return true;
}

bool QuvOobeCallbackStrategy::IsInProgress()
{
    if (!m_initialized)
        return false;
    // A failing call leaves the preset value: setup counts as finished.
    BOOL isComplete = 1;
    m_complete(&isComplete);
    return isComplete != 1;
}

void CALLBACK QuvOobeCallbackStrategy::OnCompleted(PVOID context)
{
    ::SetEvent(static_cast<QuvOobeCallbackStrategy*>(context)->m_event.Get());
}

void QuvOobeCallbackStrategy::Wait(HANDLE handle1, HANDLE handle2)
{
    if (!m_initialized)
        return;
    ::ResetEvent(m_event.Get());
    PVOID waitHandle = nullptr;
    if (!m_register(reinterpret_cast<PVOID>(&OnCompleted), this, &waitHandle)) {
        QK_LOG_ERROR(L"RegisterWaitUntilOOBECompleted failed, error %lu", ::GetLastError());
        return;
    }
    HANDLE handles[3];
    DWORD count = 0;
    if (handle1)
        handles[count++] = handle1;
    if (handle2)
        handles[count++] = handle2;
    handles[count++] = m_event.Get();
    ::WaitForMultipleObjects(count, handles, FALSE, INFINITE);
    m_unregister(waitHandle);
}
