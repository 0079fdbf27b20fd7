#include "ui/controls/InfiniteBar.h"

#include "common/errors/qkLog.h"
#include "ui/VekWindowMessages.h"
#include "ui/automation/VekUiaProvider.h"
#include "ui/res/VekResourceIds.h"
#include "ui/resources/CVekResourceLoader.h"
#include "ui/util/VekScreen.h"
#include "ui/window/VekGdi.h"

#include <exception>
#include <new>

namespace vek {

namespace {

// FrameDimensionTime: the frames of an animation.
const GUID kFrameDimensionTime = {0x6aedbd6d, 0x3fb5, 0x418a, {0x83, 0xa7, 0x7f, 0x45, 0x22, 0x9d, 0xc8, 0x72}};
const PROPID kPropertyTagFrameDelay = 0x5100;
const UINT kDefaultDelay = 10; // hundredths of a second

} // namespace

const wchar_t* const InfiniteBar::kClassName = L"VEK_InfiniteBar";

HWND InfiniteBar::Create(HWND parent, const RECT& rect, UINT controlId, DWORD style)
{
    if (!RegisterSuperclass(kClassName, L"STATIC"))
        return nullptr;
    return VekWindowImpl::Create(kClassName, parent, rect, L"", style, 0, controlId);
}

LRESULT InfiniteBar::OnCreate(UINT, WPARAM, LPARAM lParam, BOOL& handled)
{
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    m_leftToRight = (create->dwExStyle & WS_EX_LAYOUTRTL) == 0;
    HMODULE module = CVekResourceLoader::Instance().GetModule();
    if (!m_track.Load(IDR_PNG_PROGRESS_TRACK, L"PNG", module) || !m_gif.Load(IDR_VEK_PROGRESS_GIF, L"GIF", module)) {
        QK_LOG_ERROR(L"Failed to load the progress bar images");
        return -1;
    }
    handled = FALSE; // the STATIC class creates its part too
    return 0;
}

LRESULT InfiniteBar::OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled)
{
    Stop();
    handled = FALSE;
    return 0;
}

LRESULT InfiniteBar::OnCtlColorStatic(UINT, WPARAM wParam, LPARAM, BOOL&)
{
    ::SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
    return reinterpret_cast<LRESULT>(::GetStockObject(NULL_BRUSH));
}

bool InfiniteBar::Start()
{
    if (m_initialised)
        return true;
    try {
        if (!PrepareFrames())
            return false;
    } catch (const std::bad_alloc&) {
        QK_LOG_ERROR(L"Out of memory preparing the animation frames");
        return false;
    }
    m_animating = true;
    m_initialised = true;
    AdvanceFrame();
    return true;
}

void InfiniteBar::Stop()
{
    m_animating = false;
    m_initialised = false;
}

bool InfiniteBar::PrepareFrames()
{
    if (!m_gif.IsLoaded())
        return false;
    Gdiplus::Image* image = m_gif.GetImage();
    const UINT dimensions = image->GetFrameDimensionsCount();
    if (dimensions == 0)
        return false;
    std::vector<GUID> ids(dimensions);
    if (image->GetFrameDimensionsList(ids.data(), dimensions) != Gdiplus::Ok)
        return false;
    m_frameCount = image->GetFrameCount(&ids[0]);

    m_delays.clear();
    const UINT size = image->GetPropertyItemSize(kPropertyTagFrameDelay);
    if (size > 0) {
        m_delays.resize(size);
        if (image->GetPropertyItem(kPropertyTagFrameDelay, size,
                                   reinterpret_cast<Gdiplus::PropertyItem*>(m_delays.data())) != Gdiplus::Ok)
            m_delays.clear();
    }
    m_frameIndex = 0;
    return true;
}

void InfiniteBar::AdvanceFrame()
{
    try {
        Gdiplus::Image* image = m_gif.GetImage();
        if (image->SelectActiveFrame(&kFrameDimensionTime, m_frameIndex) != Gdiplus::Ok)
            return;
        m_frameIndex = (m_frameCount == 0 || m_frameIndex + 1 >= m_frameCount) ? 0 : m_frameIndex + 1;

        UINT delay = 0;
        if (!m_delays.empty()) {
            const auto* item = reinterpret_cast<const Gdiplus::PropertyItem*>(m_delays.data());
            const UINT entries = item->length / sizeof(UINT);
            if (item->value != nullptr && m_frameIndex < entries)
                delay = static_cast<const UINT*>(item->value)[m_frameIndex];
        }
        if (delay == 0)
            delay = kDefaultDelay;
        m_lastDelay = delay * 10;
        ::SetTimer(m_hWnd, kTimerAnimationFrame, m_lastDelay, nullptr);
        ::InvalidateRect(m_hWnd, nullptr, TRUE);
    } catch (const std::exception& e) {
        QK_LOG_ERROR(L"Unexpected exception during drawing inifite bar. %hs", e.what());
    }
}

LRESULT InfiniteBar::OnTimer(UINT, WPARAM wParam, LPARAM, BOOL& handled)
{
    if (wParam != kTimerAnimationFrame) {
        handled = FALSE;
        return 0;
    }
    ::KillTimer(m_hWnd, kTimerAnimationFrame);
    if (m_animating)
        AdvanceFrame();
    return 0;
}

LRESULT InfiniteBar::OnPaint(UINT, WPARAM, LPARAM, BOOL&)
{
    VekPaintDC paint(m_hWnd);
    const RECT client = GetClientRect();
    if (!m_animating || !m_gif.IsLoaded())
        return 0;
    Gdiplus::Image* image = m_gif.GetImage();
    const SIZE drawn = DrawnSize(SIZE{static_cast<LONG>(image->GetWidth()), static_cast<LONG>(image->GetHeight())},
                                 GetScreenCaps(LOGPIXELSX), GetScreenCaps(LOGPIXELSY));
    const int width = drawn.cx;
    const int height = drawn.cy;
    if (m_leftToRight) {
        Gdiplus::Graphics graphics(paint.Get());
        graphics.DrawImage(image, 0, 0, width, height);
    } else {
        // Draw unmirrored at the right edge of the mirrored window.
        const DWORD layout = ::GetLayout(paint.Get());
        ::SetLayout(paint.Get(), layout & ~LAYOUT_RTL);
        {
            Gdiplus::Graphics graphics(paint.Get());
            graphics.DrawImage(image, static_cast<int>(client.right - width), 0, width, height);
        }
        ::SetLayout(paint.Get(), layout);
    }
    return 0;
}

SIZE InfiniteBar::DrawnSize(SIZE image, int dpiX, int dpiY)
{
    return SIZE{::MulDiv(image.cx, dpiX, 96), ::MulDiv(image.cy, dpiY, 96)};
}

LRESULT InfiniteBar::OnGetObject(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    return HandleGetObject(m_hWnd, wParam, lParam, L"InfiniteBar", L"InfiniteBar");
}

} // namespace vek
