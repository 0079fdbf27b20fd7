#include "ui/window/VekWindow.h"

#include "ui/VekWindowMessages.h"

namespace vek {

std::wstring VekWindow::GetWindowText() const
{
    const int length = ::GetWindowTextLengthW(m_hWnd);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int copied = ::GetWindowTextW(m_hWnd, text.data(), length + 1);
    text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
    return text;
}

RECT VekWindow::GetClientRect() const
{
    RECT rect{};
    ::GetClientRect(m_hWnd, &rect);
    return rect;
}

RECT VekWindow::GetWindowRect() const
{
    RECT rect{};
    ::GetWindowRect(m_hWnd, &rect);
    return rect;
}

RECT VekWindow::GetWindowRectInParent() const
{
    RECT rect = GetWindowRect();
    if (HWND parent = ::GetParent(m_hWnd))
        ::MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

void VekWindow::InvalidateAreaInParent(LPARAM flag) const
{
    HWND parent = ::GetParent(m_hWnd);
    if (parent == nullptr)
        return;
    RECT rect = GetWindowRect();
    ::SendMessageW(parent, WM_VEK_INVALIDATE_AREA, reinterpret_cast<WPARAM>(&rect), flag);
}

} // namespace vek
