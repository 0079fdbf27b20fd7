#pragma once
// The launcher's private window messages and user-interface timers, one table for every window.
// Worker threads only post; a job update travels as a copy of the job node with its message
// (VekJobUpdateRecord.h), a progress record likewise (VekProgressRecord.h).
#include <windows.h>

// wParam: a new job update record; lParam: job event. Posted by the UI engine to the tray window.
#define WM_VEK_JOB_UPDATE (WM_APP + 102)
// The notification icon's callback: wParam icon identifier, notification in the low word of lParam.
#define WM_VEK_TRAY_NOTIFY (WM_APP + 104)
// wParam: a new progress record. Posted by the UI engine to the tray window.
#define WM_VEK_JOB_PROGRESS (WM_APP + 106)
#define WM_VEK_DISABLE_EXIT (WM_APP + 107)
#define WM_VEK_ENABLE_EXIT (WM_APP + 108)
// Tray window -> main dialog -> job list -> current job window; wParam a job update record (each
// relay passes on a copy or its own record), lParam event.
#define WM_VEK_UPDATE_JOB_INFO (WM_APP + 200)
// Same road; wParam: the progress record, freed by the job window that shows it.
#define WM_VEK_JOB_PROGRESS_INFO (WM_APP + 201)
// Sent to the parent: wParam points to the sender's window RECT (screen coordinates, on the
// sender's stack); lParam 1 from image button, static image and transparent text, 0 from the job
// window and the hyperlink. The main dialog repaints the area with background erase.
#define WM_VEK_INVALIDATE_AREA (WM_APP + 203)
// wParam 1: topmost.
#define WM_VEK_SHOW_MAIN_WINDOW (WM_APP + 206)
// Sent by a job window to the main dialog: restart Windows through the dialog's restart
// operation (privilege, reboot flags, shutdown call). wParam, lParam 0.
#define WM_VEK_RESTART_WINDOWS (WM_APP + 207)

namespace vek {

// Timer ids, unique within their owning window.
enum VekTimerId : UINT_PTR {
    kTimerMinimizeOnInstall = 10, // tray window, 3000 ms
    kTimerRemainingTime = 13,     // job window, 1000 ms then 500 ms
    kTimerUpgradeCountdown = 14,  // job window, 1000 ms
    kTimerRestartCountdown = 15,  // job window and main dialog, 1000 ms
    kTimerAnimationFrame = 15,    // animated progress bar, the next frame's delay
    kTimerAutoRepeatFirst = 1000, // image button with auto-repeat
    kTimerAutoRepeatNext = 1001,
};

} // namespace vek
