#pragma once
// The one catch ladder of the window layer: every message of every window and dialog of the
// user interface runs through its message map inside it, so that no handler lets an exception
// out into the system's message dispatch (where it would cross foreign stack frames). What was
// caught is logged with the message; the window then gets the answer that means failure for
// that message: a window whose creation message failed is not created.
#include <windows.h>

#include "common/base/qkExceptionInfo.h"

namespace vek {

// The answer of a message whose handler threw: -1 for WM_CREATE, FALSE for WM_NCCREATE,
// 0 for any other message.
LRESULT FailedMessageAnswer(UINT uMsg);
// Logs what the ladder caught while the window handled the message.
void LogFailedMessage(HWND hWnd, UINT uMsg, qkExceptionInfo& info);

// Runs process() (which returns whether the map handled the message and fills lResult); an
// exception makes the message handled with FailedMessageAnswer.
template <class Process>
BOOL ProcessMessageGuarded(HWND hWnd, UINT uMsg, LRESULT& lResult, Process&& process) noexcept
{
    qkExceptionInfo info;
    try {
        return process();
    }
    QK_CATCH(info)
    LogFailedMessage(hWnd, uMsg, info);
    lResult = FailedMessageAnswer(uMsg);
    return TRUE;
}

} // namespace vek
