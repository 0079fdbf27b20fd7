#pragma once
// Owners of GDI resources: fonts, brushes and bitmaps, a window's device context, a paint
// session and an object selected into a device context. Each releases in its destructor, so
// an early return or a failed window creation leaks nothing.
#include <windows.h>

#include <utility>

namespace vek {

// A GDI object (HFONT, HBRUSH, HBITMAP, HPEN...) deleted with DeleteObject.
template <class T>
class VekGdiObject {
public:
    explicit VekGdiObject(T handle = nullptr) : m_handle(handle) {}
    ~VekGdiObject() { Reset(); }
    VekGdiObject(const VekGdiObject&) = delete;
    VekGdiObject& operator=(const VekGdiObject&) = delete;
    VekGdiObject(VekGdiObject&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
    VekGdiObject& operator=(VekGdiObject&& other) noexcept
    {
        if (this != &other)
            Reset(std::exchange(other.m_handle, nullptr));
        return *this;
    }

    void Reset(T handle = nullptr)
    {
        if (m_handle != nullptr && m_handle != handle)
            ::DeleteObject(m_handle);
        m_handle = handle;
    }
    T Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    T m_handle;
};

using VekFont = VekGdiObject<HFONT>;
using VekBrush = VekGdiObject<HBRUSH>;
using VekBitmap = VekGdiObject<HBITMAP>;

// GetDC / ReleaseDC of a window (null window: the screen).
class VekWindowDC {
public:
    explicit VekWindowDC(HWND hWnd) : m_hWnd(hWnd), m_dc(::GetDC(hWnd)) {}
    ~VekWindowDC()
    {
        if (m_dc != nullptr)
            ::ReleaseDC(m_hWnd, m_dc);
    }
    VekWindowDC(const VekWindowDC&) = delete;
    VekWindowDC& operator=(const VekWindowDC&) = delete;
    HDC Get() const { return m_dc; }

private:
    HWND m_hWnd;
    HDC m_dc;
};

// BeginPaint / EndPaint.
class VekPaintDC {
public:
    explicit VekPaintDC(HWND hWnd) : m_hWnd(hWnd) { m_dc = ::BeginPaint(hWnd, &m_paint); }
    ~VekPaintDC() { ::EndPaint(m_hWnd, &m_paint); }
    VekPaintDC(const VekPaintDC&) = delete;
    VekPaintDC& operator=(const VekPaintDC&) = delete;
    HDC Get() const { return m_dc; }

private:
    HWND m_hWnd;
    PAINTSTRUCT m_paint{};
    HDC m_dc;
};

// A memory device context deleted with DeleteDC.
class VekMemoryDC {
public:
    explicit VekMemoryDC(HDC compatible) : m_dc(::CreateCompatibleDC(compatible)) {}
    ~VekMemoryDC()
    {
        if (m_dc != nullptr)
            ::DeleteDC(m_dc);
    }
    VekMemoryDC(const VekMemoryDC&) = delete;
    VekMemoryDC& operator=(const VekMemoryDC&) = delete;
    HDC Get() const { return m_dc; }

private:
    HDC m_dc;
};

// Selects an object into a device context and selects the previous one back.
class VekSelectObject {
public:
    VekSelectObject(HDC dc, HGDIOBJ object) : m_dc(dc), m_previous(object ? ::SelectObject(dc, object) : nullptr) {}
    ~VekSelectObject()
    {
        if (m_previous != nullptr && m_previous != HGDI_ERROR)
            ::SelectObject(m_dc, m_previous);
    }
    VekSelectObject(const VekSelectObject&) = delete;
    VekSelectObject& operator=(const VekSelectObject&) = delete;

private:
    HDC m_dc;
    HGDIOBJ m_previous;
};

} // namespace vek
