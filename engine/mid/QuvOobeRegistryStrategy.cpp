#include "engine/mid/QuvOobeRegistryStrategy.h"

#include "common/errors/qkLog.h"
#include "common/system/qkOSInfo.h"
#include "common/system/qkRegistry.h"

namespace {

constexpr wchar_t kSetupKey[] = L"SYSTEM\\Setup";
constexpr wchar_t kStateKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Setup\\State";

} // namespace

QuvOobeRegistryStrategy::QuvOobeRegistryStrategy(HKEY root, std::wstring prefix, DWORD recheckMs)
    : m_root(root), m_recheckMs(recheckMs), m_prefix(std::move(prefix))
{}

std::wstring QuvOobeRegistryStrategy::Path(const wchar_t* subkey) const
{
    return m_prefix.empty() ? std::wstring(subkey) : m_prefix + L"\\" + subkey;
}

bool QuvOobeRegistryStrategy::InitializeStrategy()
{
    if (!qkOSInfo::IsWindowsVista(TRUE))
        return false;
    m_event.Attach(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_event.IsValid()) {
        QK_LOG_ERROR(L"CreateEventW failed, error %lu", ::GetLastError());
        return false;
    }
    m_initialized = true;
    return true;
}

bool QuvOobeRegistryStrategy::IsInProgress()
{
    if (!m_initialized)
        return false;
    DWORD oobeInProgress = 0xFFFFFFFF;
    DWORD setupInProgress = 0xFFFFFFFF;
    bool imageComplete = true;
    // Any open or read that fails skips the rest; the image then counts as complete.
    [&] {
        qkRegistry setup;
        if (!setup.Open(m_root, Path(kSetupKey).c_str(), KEY_READ))
            return;
        if (!setup.QueryDWORDValue(L"OOBEInProgress", oobeInProgress) ||
            !setup.QueryDWORDValue(L"SystemSetupInProgress", setupInProgress))
            return;
        qkRegistry state;
        if (!state.Open(m_root, Path(kStateKey).c_str(), KEY_READ))
            return;
        std::wstring imageState;
        if (!state.QueryStringValue(L"ImageState", imageState))
            return;
        imageComplete = ::CompareStringOrdinal(imageState.c_str(), -1, L"IMAGE_STATE_COMPLETE", -1, TRUE) == CSTR_EQUAL;
    }();
    return (oobeInProgress == 1 && setupInProgress == 0) || !imageComplete;
}

void QuvOobeRegistryStrategy::Wait(HANDLE handle1, HANDLE handle2)
{
    if (!m_initialized)
        return;
    qkRegistry state;
    if (!state.Open(m_root, Path(kStateKey).c_str(), KEY_NOTIFY))
        return;
    HANDLE handles[3];
    DWORD count = 0;
    if (handle1)
        handles[count++] = handle1;
    if (handle2)
        handles[count++] = handle2;
    const DWORD eventIndex = count;
    handles[count++] = m_event.Get();
    for (;;) {
        ::ResetEvent(m_event.Get());
        const LONG status =
            ::RegNotifyChangeKeyValue(state.GetKey(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, m_event.Get(), TRUE);
        if (status != ERROR_SUCCESS) {
            QK_LOG_ERROR(L"RegNotifyChangeKeyValue failed, error %ld", status);
            return;
        }
        const DWORD result = ::WaitForMultipleObjects(count, handles, FALSE, m_recheckMs);
        if (result == WAIT_OBJECT_0 + eventIndex || result == WAIT_TIMEOUT) {
            if (!IsInProgress())
                return;
            continue;
        }
        return; // a caller handle signalled or abandoned, or the wait failed
    }
}
