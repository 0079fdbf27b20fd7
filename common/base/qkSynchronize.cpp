#include "common/base/qkSynchronize.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkTrace.h"
#include "common/system/CIsolation.h"

namespace {

bool IsSignalled(DWORD result, DWORD count)
{
    return (result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + count) ||
           (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + count);
}

} // namespace

DWORD qkSynchronize::WaitForSingleObject(HANDLE handle, DWORD timeout)
{
    if (m_pumpMessages) {
        return MsgWaitForMultipleObjects(1, &handle, timeout);
    }
    return ::WaitForSingleObject(handle, timeout);
}

DWORD qkSynchronize::WaitForMultipleObjects(DWORD count, const HANDLE* handles, DWORD timeout)
{
    if (m_pumpMessages) {
        return MsgWaitForMultipleObjects(count, handles, timeout);
    }
    return ::WaitForMultipleObjectsEx(count, handles, FALSE, timeout, FALSE);
}

DWORD qkSynchronize::MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, DWORD timeout)
{
    bool quitTaken = false;
    WPARAM quitCode = 0;
    qkExceptionInfo info;
    DWORD result = WAIT_FAILED;
    try {
        result = PumpingWait(count, handles, timeout, quitTaken, quitCode);
    }
    QK_CATCH(info)
    if (info.HasError()) {
        result = WAIT_FAILED;
    }
    if (quitTaken) {
        // A WM_QUIT taken from the queue while waiting is posted again, so that the thread's
        // own message loop still ends.
        ::PostQuitMessage(static_cast<int>(quitCode));
    }
    return result;
}

DWORD qkSynchronize::PumpingWait(DWORD count, const HANDLE* handles, DWORD timeout, bool& quitTaken, WPARAM& quitCode)
{
    const DWORD start = ::GetTickCount();
    for (;;) {
        DWORD remaining = 0;
        if (!GetRemainingTime(start, ::GetTickCount(), timeout, &remaining)) {
            return WAIT_TIMEOUT;
        }
        // MWMO_INPUTAVAILABLE: messages already in the queue end the wait too, not only new ones.
        const DWORD r = ::MsgWaitForMultipleObjectsEx(count, handles, remaining, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (r == WAIT_TIMEOUT || r == WAIT_IO_COMPLETION) {
            return r;
        }
        if (r == WAIT_FAILED) {
            QK_TRACE(L"MsgWaitForMultipleObjectsEx failed : %lu", ::GetLastError());
            return r;
        }
        if (r != WAIT_OBJECT_0 + count) {
            return r; // an object was signalled or abandoned
        }
        MSG msg;
        if (!::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
            // Input that PeekMessage does not hand out (sent messages were handled by it).
            continue;
        }
        do {
            if (msg.message == WM_QUIT) {
                QK_TRACE(L"WM_QUIT while waiting");
                if (m_stopOnQuit) {
                    return WAIT_OBJECT_0 + count;
                }
            }
            const bool ansi = msg.hwnd != nullptr && !::IsWindowUnicode(msg.hwnd);
            const BOOL got = ansi ? ::GetMessageA(&msg, nullptr, 0, 0) : ::GetMessageW(&msg, nullptr, 0, 0);
            if (got == 0) {
                if (msg.message == WM_QUIT) {
                    quitTaken = true;
                    quitCode = msg.wParam;
                } else {
                    QK_TRACE(L"GetMessage returned 0 for message 0x%04X", msg.message);
                }
            } else if (got > 0) {
                ::TranslateMessage(&msg);
                if (ansi) {
                    ::DispatchMessageA(&msg);
                } else {
                    ::DispatchMessageW(&msg);
                }
            }
            if (count != 0) {
                const DWORD polled = ::WaitForMultipleObjects(count, handles, FALSE, 0);
                if (IsSignalled(polled, count)) {
                    return polled;
                }
            }
            DWORD left = 0;
            if (!GetRemainingTime(start, ::GetTickCount(), timeout, &left)) {
                return WAIT_TIMEOUT;
            }
        } while (::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
    }
}

DWORD qkSynchronize::GetSignaledIndex(DWORD waitResult)
{
    if (waitResult >= WAIT_OBJECT_0 && waitResult < WAIT_OBJECT_0 + MAXIMUM_WAIT_OBJECTS) {
        return waitResult - WAIT_OBJECT_0;
    }
    if (waitResult >= WAIT_ABANDONED_0 && waitResult < WAIT_ABANDONED_0 + MAXIMUM_WAIT_OBJECTS) {
        return waitResult - WAIT_ABANDONED_0;
    }
    QK_TRACE(L"not a signalled result : %lu", waitResult);
    return 0;
}

BOOL qkSynchronize::GetRemainingTime(DWORD startTick, DWORD nowTick, DWORD timeout, DWORD* remaining)
{
    if (remaining == nullptr) {
        return FALSE;
    }
    if (timeout == 0 || timeout == INFINITE) {
        *remaining = timeout;
        return TRUE;
    }
    const DWORD elapsed = nowTick - startTick; // unsigned: correct across the wrap
    if (elapsed >= timeout) {
        *remaining = 0;
        return FALSE;
    }
    *remaining = timeout - elapsed;
    return TRUE;
}

BOOL qkSynchronize::GetObjectName(const wchar_t* name, std::wstring& out, BOOL global, BOOL suffix)
{
    qkExceptionInfo info;
    try {
        out.assign(global ? L"Global\\" : L"");
        out.append(name != nullptr ? name : L"");
        if (suffix) {
            const wchar_t* silo = CIsolation::GetSiloID();
            if (silo == nullptr) {
                QK_TRACE(L"no silo id for the name %s", name != nullptr ? name : L"");
                return FALSE;
            }
            out.append(silo);
        }
    }
    QK_CATCH(info)
    return info.HasError() ? FALSE : TRUE;
}
