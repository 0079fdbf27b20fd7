#include "ui/VekJobUpdateRecord.h"

#include "common/errors/qkLog.h"

namespace vek {

bool PostJobUpdateRecord(HWND target, UINT message, std::unique_ptr<VekJobUpdateRecord> record)
{
    const LPARAM event = record ? record->event : 0;
    if (!::PostMessageW(target, message, reinterpret_cast<WPARAM>(record.get()), event)) {
        QK_LOG_WARNING(L"PostMessage 0x%X failed, error %lu; job update dropped", message, ::GetLastError());
        return false;
    }
    record.release(); // the queued message owns it now
    return true;
}

std::unique_ptr<VekJobUpdateRecord> TakeJobUpdateRecord(WPARAM wParam)
{
    return std::unique_ptr<VekJobUpdateRecord>(reinterpret_cast<VekJobUpdateRecord*>(wParam));
}

void DrainJobUpdateRecords(HWND window, UINT message)
{
    // A quit request is handed out whatever the filter asks for: its wParam is an exit code,
    // not a record, and it is posted again so that the thread's message loop still ends.
    MSG msg;
    while (::PeekMessageW(&msg, window, message, message, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        TakeJobUpdateRecord(msg.wParam);
    }
}

} // namespace vek
