#include "ui/VekProgressRecord.h"

#include "common/errors/qkLog.h"

namespace vek {

bool PostProgressRecord(HWND target, UINT message, std::unique_ptr<VekProgressRecord> record)
{
    if (!::PostMessageW(target, message, reinterpret_cast<WPARAM>(record.get()), 0)) {
        QK_LOG_WARNING(L"PostMessage 0x%X failed, error %lu; progress record dropped", message, ::GetLastError());
        return false;
    }
    record.release(); // the queued message owns it now
    return true;
}

std::unique_ptr<VekProgressRecord> TakeProgressRecord(WPARAM wParam)
{
    return std::unique_ptr<VekProgressRecord>(reinterpret_cast<VekProgressRecord*>(wParam));
}

void DrainProgressRecords(HWND window, UINT message)
{
    // A quit request is handed out whatever the filter asks for: its wParam is an exit code,
    // not a record, and it is posted again so that the thread's message loop still ends.
    MSG msg;
    while (::PeekMessageW(&msg, window, message, message, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        TakeProgressRecord(msg.wParam);
    }
}

} // namespace vek
