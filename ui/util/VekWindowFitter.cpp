#include "ui/util/VekWindowFitter.h"

#include "common/errors/qkLog.h"

#include <algorithm>
#include <cstdlib>

namespace vek {

bool VekScreenMetrics::GetWorkArea(RECT& area)
{
    return ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0) != FALSE;
}

int VekScreenMetrics::GetFullScreenWidth()
{
    return ::GetSystemMetrics(SM_CXFULLSCREEN);
}

int VekScreenMetrics::GetFullScreenHeight()
{
    return ::GetSystemMetrics(SM_CYFULLSCREEN);
}

bool VekScreenMetrics::GetDisplayMode(SIZE& size)
{
    DISPLAY_DEVICEW device{};
    device.cb = sizeof(device);
    for (DWORD index = 0; ::EnumDisplayDevicesW(nullptr, index, &device, 0); ++index) {
        DEVMODEW mode{};
        mode.dmSize = sizeof(mode);
        if (::EnumDisplaySettingsW(device.DeviceName, ENUM_CURRENT_SETTINGS, &mode)) {
            size.cx = static_cast<LONG>(mode.dmPelsWidth);
            size.cy = static_cast<LONG>(mode.dmPelsHeight);
            return true;
        }
        device = DISPLAY_DEVICEW{};
        device.cb = sizeof(device);
    }
    return false;
}

VekWindowFitter::VekWindowFitter(VekScreenMetrics* metrics) : m_metrics(metrics ? metrics : &m_system) {}

HRESULT VekWindowFitter::Attach(HWND hWnd)
{
    if (!::IsWindow(hWnd))
        return E_INVALIDARG;
    m_hWnd = hWnd;
    return S_OK;
}

HRESULT VekWindowFitter::Fit(SIZE& size, DWORD flags)
{
    if (m_hWnd == nullptr)
        return E_INVALIDARG;

    RECT rect{};
    if (!::GetWindowRect(m_hWnd, &rect))
        return HRESULT_FROM_WIN32(::GetLastError());
    m_window = {rect.right - rect.left, rect.bottom - rect.top};
    m_aspect = (m_window.cx != 0 && m_window.cy != 0)
                   ? static_cast<ULONG>(m_window.cy) * 100 / static_cast<ULONG>(m_window.cx)
                   : 0;
    if (m_aspect == 0)
        return E_UNEXPECTED;
    const SIZE measured = m_window;

    if (flags & kUseWorkArea) {
        RECT area{};
        if (!m_metrics->GetWorkArea(area)) {
            const HRESULT hr = HRESULT_FROM_WIN32(::GetLastError());
            QK_LOG_ERROR(L"SystemParametersInfoW(SPI_GETWORKAREA) failed, hr=0x%08X", hr);
            return hr;
        }
        m_limit = {std::abs(area.right - area.left), std::abs(area.bottom - area.top)};
        m_window.cx = std::min(m_window.cx, m_limit.cx);
        m_window.cy = std::min(m_window.cy, m_limit.cy);
    } else {
        if (flags & kLessReserved) {
            RECT area{};
            if (!m_metrics->GetWorkArea(area))
                return HRESULT_FROM_WIN32(::GetLastError());
            m_limit = {std::abs(area.right - area.left), std::abs(area.bottom - area.top)};
            const int fullWidth = m_metrics->GetFullScreenWidth();
            const int fullHeight = m_metrics->GetFullScreenHeight();
            if (fullWidth == 0 || fullHeight == 0)
                return E_UNEXPECTED;
            m_reserved = {fullWidth - m_limit.cx, fullHeight - m_limit.cy};
        }
        SIZE mode{};
        if (m_metrics->GetDisplayMode(mode)) {
            if (flags & kLessReserved) {
                mode.cx -= m_reserved.cx;
                mode.cy -= m_reserved.cy;
            }
            if (mode.cx != 0) {
                m_window.cx = std::min(m_window.cx, mode.cx);
                m_limit.cx = m_limit.cx != 0 ? std::min(m_limit.cx, mode.cx) : mode.cx;
            }
            if (mode.cy != 0) {
                m_window.cy = std::min(m_window.cy, mode.cy);
                m_limit.cy = m_limit.cy != 0 ? std::min(m_limit.cy, mode.cy) : mode.cy;
            }
        }
    }

    if (m_window.cx == 0 || m_window.cy == 0)
        return E_UNEXPECTED;
    const HRESULT result = (measured.cx < m_limit.cx && measured.cy < m_limit.cy) ? S_FALSE : S_OK;

    // Without a known limit there is nothing to keep the ratio within.
    if ((flags & kKeepAspect) && m_aspect != 0 && m_limit.cx > 0 && m_limit.cy > 0) {
        m_window.cx = m_limit.cx;
        m_window.cy = static_cast<LONG>(static_cast<ULONG>(m_window.cx) * m_aspect / 100);
        if (m_window.cy > m_limit.cy) {
            m_window.cy = m_limit.cy;
            m_window.cx = static_cast<LONG>(static_cast<ULONG>(m_window.cy) * 100 / m_aspect);
        }
    }

    if (flags & kResize) {
        if (!::SetWindowPos(m_hWnd, nullptr, 0, 0, m_window.cx, m_window.cy,
                            SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED | SWP_NOOWNERZORDER)) {
            const HRESULT hr = HRESULT_FROM_WIN32(::GetLastError());
            QK_LOG_ERROR(L"SetWindowPos failed, hr=0x%08X", hr);
            return hr;
        }
    }
    size = m_window;
    return result;
}

} // namespace vek
