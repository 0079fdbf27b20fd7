#pragma once
// The message loop of the thread that owns the launcher's windows. Modeless dialogs register a
// filter so that keyboard navigation reaches them (IsDialogMessage); the loop ends with WM_QUIT.
#include <windows.h>

#include <vector>

namespace vek {

class VekMessageFilter {
public:
    virtual ~VekMessageFilter() = default;
    // true: the message was handled and is not dispatched.
    virtual bool PreTranslateMessage(MSG& message) = 0;
};

class VekMessageLoop {
public:
    VekMessageLoop() = default;
    VekMessageLoop(const VekMessageLoop&) = delete;
    VekMessageLoop& operator=(const VekMessageLoop&) = delete;

    void AddMessageFilter(VekMessageFilter* filter);
    void RemoveMessageFilter(VekMessageFilter* filter);

    // Runs until WM_QUIT; returns its exit code (-1 when GetMessage fails).
    int Run();

    // The loop registered for this process (the program's), or null.
    static VekMessageLoop* Current();
    static void SetCurrent(VekMessageLoop* loop);

private:
    std::vector<VekMessageFilter*> m_filters;
};

} // namespace vek
