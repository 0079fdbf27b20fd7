#pragma once
// The job list: a child window of the main dialog with one job window per entry of the
// manifest's job array. The jobs run one after the other and only the current job's window is
// shown; the list switches windows as jobs start and relays updates and progress to the current
// one. It paints nothing itself: a left-button press drags the main dialog, a close goes to the
// main dialog's exit handling.
#include "ui/VekJobUpdateRecord.h"
#include "ui/VekProgressRecord.h"
#include "ui/VekWindowMessages.h"
#include "ui/dialog/VekDialogJobList.h"
#include "ui/window/VekMessageLoop.h"
#include "ui/window/VekWindowImpl.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <vector>

namespace vek {

class VekJobEngine;
class VekDataReporter;
class VekJobUI;
class VekJobUISystem;
class VekJobUIEngine;

class VekJobList : public VekWindowImpl, public VekDialogJobList, public VekMessageFilter {
public:
    VekJobList(std::shared_ptr<VekJobEngine> jobEngine, std::shared_ptr<VekDataReporter> reporter);
    // The same over the engine interface (tests, or a caller that wraps the engine itself).
    VekJobList(std::shared_ptr<VekJobUIEngine> jobEngine, std::shared_ptr<VekDataReporter> reporter);
    ~VekJobList() override;

    // Replaces the system calls of every job window created afterwards (tests); the real ones
    // otherwise.
    void SetSystem(std::shared_ptr<VekJobUISystem> system);

    // Creates the window as a child of the main dialog on the rectangle, with one hidden job
    // window per job of the job engine. Null on failure.
    HWND Create(HWND parent, const RECT& rect) override;
    HWND hwnd() const override { return m_hWnd; }

    // The main dialog hands over what WM_VEK_UPDATE_JOB_INFO carried (message: that id).
    // Event 0 shows the next job's window, events 9 and 11 leave no window current, event 10
    // hides the last one when several jobs ran; the record then goes on, as a copy, to the
    // current job window.
    void OnUpdateJobInfo(UINT message, const VekJobUpdateRecord& record) override;
    // The same for WM_VEK_JOB_PROGRESS_INFO: the record goes on to the current job window, or is
    // freed when no window is current.
    void OnJobProgress(UINT message, std::unique_ptr<VekProgressRecord> record) override;

    // -1 while no job window is current.
    int32_t GetCurrentIndex() const { return m_currentIndex; }
    size_t GetJobWindowCount() const { return m_jobWindows.size(); }
    // Null past the last window, and for a job whose window could not be created (its slot
    // stays, so that every later window still matches its job by position).
    VekJobUI* GetJobWindow(size_t index) const;

    // Keyboard navigation between the controls of the job windows.
    bool PreTranslateMessage(MSG& message) override;

    VEK_BEGIN_MSG_MAP(VekJobList)
    VEK_MESSAGE_HANDLER(WM_CLOSE, OnClose)
    VEK_MESSAGE_HANDLER(WM_CREATE, OnCreate)
    VEK_MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    VEK_MESSAGE_HANDLER(WM_LBUTTONDOWN, OnLButtonDown)
    VEK_MESSAGE_HANDLER(WM_ERASEBKGND, OnEraseBackground)
    VEK_MESSAGE_HANDLER(WM_VEK_INVALIDATE_AREA, OnInvalidateArea)
    VEK_MESSAGE_HANDLER(WM_GETOBJECT, OnGetObject)
    VEK_END_MSG_MAP()

private:
    LRESULT OnClose(UINT, WPARAM, LPARAM lParam, BOOL&);
    LRESULT OnCreate(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled);
    LRESULT OnLButtonDown(UINT, WPARAM, LPARAM lParam, BOOL&);
    LRESULT OnEraseBackground(UINT, WPARAM, LPARAM, BOOL&) { return 1; }
    LRESULT OnInvalidateArea(UINT, WPARAM wParam, LPARAM lParam, BOOL&);
    LRESULT OnGetObject(UINT, WPARAM wParam, LPARAM lParam, BOOL& handled);

    HWND CurrentWindow() const;
    void ShowJobWindow(int32_t index, int command);

    std::shared_ptr<VekJobUIEngine> m_jobEngine;
    std::vector<std::shared_ptr<VekJobUI>> m_jobWindows;
    int32_t m_currentIndex = -1;
    std::shared_ptr<VekDataReporter> m_reporter;
    std::shared_ptr<VekJobUISystem> m_system;
    // The whole manifest as the engine's start event carried it, shared with the job windows
    // (the first job's keys and the finish page addresses are read from it).
    std::shared_ptr<const nlohmann::json> m_manifest;
    bool m_filtering = false;
};

} // namespace vek
