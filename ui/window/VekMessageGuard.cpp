#include "ui/window/VekMessageGuard.h"

#include "common/errors/qkLog.h"

namespace vek {

LRESULT FailedMessageAnswer(UINT uMsg)
{
    switch (uMsg) {
    case WM_CREATE:
        return -1;
    case WM_NCCREATE:
        return FALSE;
    default:
        return 0;
    }
}

void LogFailedMessage(HWND hWnd, UINT uMsg, qkExceptionInfo& info)
{
    QK_LOG_ERROR(L"Message 0x%04X of window %p failed: %s", uMsg, static_cast<void*>(hWnd), info.GetFullText());
}

} // namespace vek
