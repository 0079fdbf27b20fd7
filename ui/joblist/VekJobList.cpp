#include "ui/joblist/VekJobList.h"

#include "common/errors/qkLog.h"
#include "engine/manifest/VekJobStates.h"
#include "engine/report/VekDataReporter.h"
#include "ui/automation/VekUiaProvider.h"
#include "ui/joblist/VekJobUI.h"
#include "ui/joblist/VekJobUIEngine.h"
#include "ui/joblist/VekJobUISystem.h"

#include <exception>
#include <new>

namespace vek {

namespace {
const wchar_t kJobListClass[] = L"VEK_JobList";
const wchar_t kAutomationName[] = L"VekJobListWindow";
} // namespace

VekJobList::VekJobList(std::shared_ptr<VekJobUIEngine> jobEngine, std::shared_ptr<VekDataReporter> reporter)
    : m_jobEngine(std::move(jobEngine)), m_reporter(std::move(reporter))
{
}

VekJobList::~VekJobList()
{
    // The job windows are children: destroy this window while the objects still live.
    if (IsWindow())
        DestroyWindow();
    m_jobWindows.clear();
}

void VekJobList::SetSystem(std::shared_ptr<VekJobUISystem> system)
{
    m_system = std::move(system);
}

HWND VekJobList::Create(HWND parent, const RECT& rect)
{
    if (!RegisterWindowClass(kJobListClass, 0, nullptr, ::LoadCursorW(nullptr, IDC_ARROW))) {
        QK_LOG_ERROR(L"RegisterClass() failed, error = %u", ::GetLastError());
        return nullptr;
    }
    return VekWindowImpl::Create(kJobListClass, parent, rect, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN,
                                 WS_EX_CONTROLPARENT);
}

VekJobUI* VekJobList::GetJobWindow(size_t index) const
{
    return index < m_jobWindows.size() ? m_jobWindows[index].get() : nullptr;
}

HWND VekJobList::CurrentWindow() const
{
    const VekJobUI* window = m_currentIndex < 0 ? nullptr : GetJobWindow(static_cast<size_t>(m_currentIndex));
    return window != nullptr ? window->GetHwnd() : nullptr;
}

void VekJobList::ShowJobWindow(int32_t index, int command)
{
    if (VekJobUI* window = GetJobWindow(static_cast<size_t>(index)))
        window->ShowWindow(command);
}

LRESULT VekJobList::OnCreate(UINT, WPARAM, LPARAM, BOOL&)
{
    const int count = m_jobEngine ? m_jobEngine->GetJobCount() : 0;
    RECT client{};
    ::GetClientRect(m_hWnd, &client);
    for (int index = 0; index < count; ++index) {
        auto window = std::make_shared<VekJobUI>(m_jobEngine, m_reporter.get(), static_cast<size_t>(index));
        if (m_system)
            window->SetSystem(m_system);
        if (!window->Create(m_hWnd, client)) {
            // The slot stays, empty: windows are matched to jobs by position, so the jobs
            // after this one still reach their own windows (this job's updates are dropped).
            QK_LOG_ERROR(L"Failed to create the window of job %d, error = %u", index, ::GetLastError());
            window.reset();
        } else {
            window->ShowWindow(SW_HIDE);
        }
        m_jobWindows.push_back(std::move(window));
    }
    if (VekMessageLoop* loop = VekMessageLoop::Current()) {
        loop->AddMessageFilter(this);
        m_filtering = true;
    }
    return 0;
}

LRESULT VekJobList::OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled)
{
    if (m_filtering) {
        if (VekMessageLoop* loop = VekMessageLoop::Current())
            loop->RemoveMessageFilter(this);
        m_filtering = false;
    }
    handled = FALSE;
    return 0;
}

bool VekJobList::PreTranslateMessage(MSG& message)
{
    if (!IsWindow() || (message.hwnd != m_hWnd && !::IsChild(m_hWnd, message.hwnd)))
        return false;
    return ::IsDialogMessageW(m_hWnd, &message) != FALSE;
}

void VekJobList::OnUpdateJobInfo(UINT message, const VekJobUpdateRecord& record)
{
    const int32_t event = record.event;
    const auto count = static_cast<int32_t>(m_jobWindows.size());
    if (event == eJobPreProcess) {
        if (m_currentIndex + 1 >= count) {
            // Not passed on either: the last window keeps what it shows.
            QK_LOG_WARNING(L"Job start ignored: no job window after index %d", m_currentIndex);
            return;
        } else {
            ++m_currentIndex;
            if (m_currentIndex > 0)
                ShowJobWindow(m_currentIndex - 1, SW_HIDE);
            ShowJobWindow(m_currentIndex, SW_SHOW);
        }
    } else if (event == eEngineStart || event == eEngineEnd) {
        m_currentIndex = -1;
    } else if (event == eEngineJobsDone) {
        if (count > 1 && m_currentIndex > 0)
            ShowJobWindow(m_currentIndex, SW_HIDE);
    }
    // The engine's own events carry the whole manifest: the job windows read the first job
    // and the finish page addresses from this copy.
    if (event == eEngineStart || event == eEngineJobsDone || event == eEngineEnd) {
        auto manifest = std::make_shared<const nlohmann::json>(record.job);
        m_manifest = manifest;
        for (const auto& window : m_jobWindows)
            if (window)
                window->SetManifest(manifest);
    }
    if (HWND current = CurrentWindow()) {
        auto copy = std::make_unique<VekJobUpdateRecord>(record);
        PostJobUpdateRecord(current, message, std::move(copy));
    }
}

void VekJobList::OnJobProgress(UINT message, std::unique_ptr<VekProgressRecord> record)
{
    if (!record)
        return;
    if (HWND current = CurrentWindow())
        PostProgressRecord(current, message, std::move(record));
    // Otherwise the record is freed here.
}

LRESULT VekJobList::OnClose(UINT, WPARAM, LPARAM lParam, BOOL&)
{
    ::PostMessageW(GetParent(), WM_SYSCOMMAND, SC_CLOSE, lParam);
    return 0;
}

LRESULT VekJobList::OnLButtonDown(UINT, WPARAM, LPARAM lParam, BOOL&)
{
    ::SendMessageW(GetParent(), WM_NCLBUTTONDOWN, HTCAPTION, lParam);
    return 0;
}

LRESULT VekJobList::OnInvalidateArea(UINT message, WPARAM wParam, LPARAM lParam, BOOL&)
{
    ::SendMessageW(GetParent(), message, wParam, lParam);
    return 1;
}

LRESULT VekJobList::OnGetObject(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    return HandleGetObject(m_hWnd, wParam, lParam, kAutomationName, kAutomationName);
}

} // namespace vek
