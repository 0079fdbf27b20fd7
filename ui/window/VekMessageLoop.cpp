#include "ui/window/VekMessageLoop.h"

#include <algorithm>
#include <atomic>

#include "common/errors/qkLog.h"

namespace vek {

namespace {
std::atomic<VekMessageLoop*> g_current{nullptr};
}

void VekMessageLoop::AddMessageFilter(VekMessageFilter* filter)
{
    if (filter && std::find(m_filters.begin(), m_filters.end(), filter) == m_filters.end()) {
        m_filters.push_back(filter);
    }
}

void VekMessageLoop::RemoveMessageFilter(VekMessageFilter* filter)
{
    std::erase(m_filters, filter);
}

int VekMessageLoop::Run()
{
    MSG message{};
    for (;;) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0) {
            return static_cast<int>(message.wParam);
        }
        if (got == -1) {
            QK_LOG_ERROR(L"GetMessage() failed, error %u", GetLastError());
            return -1;
        }
        // Newest filter first: a dialog opened last sees its keys before the one under it.
        const auto filters = m_filters;
        const bool handled = std::any_of(filters.rbegin(), filters.rend(), [&message](VekMessageFilter* filter) {
            return filter->PreTranslateMessage(message);
        });
        if (!handled) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

VekMessageLoop* VekMessageLoop::Current()
{
    return g_current.load();
}

void VekMessageLoop::SetCurrent(VekMessageLoop* loop)
{
    g_current = loop;
}

} // namespace vek
