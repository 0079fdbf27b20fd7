#include "ui/controls/CStaticImage.h"

#include "common/errors/qkLog.h"
#include "ui/automation/VekUiaProvider.h"
#include "ui/resources/CVekResourceLoader.h"
#include "ui/util/VekScreen.h"
#include "ui/window/VekGdi.h"

#include <string>

namespace vek {

const wchar_t* const CStaticImage::kClassName = L"VEK_ImageStatic";

HWND CStaticImage::Create(HWND parent, int resourceId, int x, int y, bool show, const VekScale& scale)
{
    if (parent == nullptr) {
        QK_LOG_ERROR(L"NULL specified as parent window");
        return nullptr;
    }
    RECT rect = {x, y, x, y};
    if (resourceId != -1) {
        m_resourceId = resourceId;
        if (LoadImageW()) {
            Gdiplus::Image* image = m_image->GetImage();
            rect.right = x + scale.X(static_cast<int>(image->GetWidth()));
            rect.bottom = y + scale.Y(static_cast<int>(image->GetHeight()));
        }
    }
    if (!RegisterSuperclass(kClassName, L"STATIC"))
        return nullptr;
    HWND hWnd = VekWindowImpl::Create(kClassName, parent, rect, L"", WS_CHILD);
    if (hWnd == nullptr) {
        QK_LOG_ERROR(L"Failed to create CImageStatic control. last error %d", ::GetLastError());
        return nullptr;
    }
    m_highContrast = vek::IsHighContrast();
    if (show)
        ShowWindow(SW_SHOW);
    return hWnd;
}

bool CStaticImage::LoadImageW()
{
    m_image = VekSharedResourceImage::Get(static_cast<UINT>(m_resourceId), L"PNG",
                                          CVekResourceLoader::Instance().GetModule());
    if (!m_image) {
        QK_LOG_ERROR(L"Failed to load %d resource", m_resourceId);
        return false;
    }
    return true;
}

void CStaticImage::SetImage(int resourceId)
{
    if (resourceId != m_resourceId) {
        m_resourceId = resourceId;
        LoadImageW();
    }
    InvalidateAreaInParent(1);
    Invalidate(TRUE);
    ShowWindow(SW_SHOW);
}

LRESULT CStaticImage::OnThemeChanged(UINT, WPARAM, LPARAM, BOOL&)
{
    m_highContrast = vek::IsHighContrast();
    InvalidateAreaInParent(1);
    Invalidate(TRUE);
    return 0;
}

LRESULT CStaticImage::OnPaint(UINT, WPARAM, LPARAM, BOOL&)
{
    VekPaintDC paint(m_hWnd);
    if (!m_image)
        return 0;
    const RECT client = GetClientRect();
    Gdiplus::Image* image = m_image->GetImage();
    Gdiplus::Graphics graphics(paint.Get());
    const Gdiplus::Rect target(0, 0, client.right - client.left, client.bottom - client.top);
    if (!m_highContrast) {
        graphics.DrawImage(image, target);
        return 0;
    }
    // High contrast: red, green and blue inverted, alpha kept.
    Gdiplus::ColorMatrix invert = {{
        {-1, 0, 0, 0, 0},
        {0, -1, 0, 0, 0},
        {0, 0, -1, 0, 0},
        {0, 0, 0, 1, 0},
        {1, 1, 1, 0, 1},
    }};
    Gdiplus::ImageAttributes attributes;
    attributes.SetColorMatrix(&invert);
    graphics.DrawImage(image, target, 0, 0, static_cast<int>(image->GetWidth()), static_cast<int>(image->GetHeight()),
                       Gdiplus::UnitPixel, &attributes);
    return 0;
}

LRESULT CStaticImage::OnGetObject(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    const std::wstring id = L"StaticImg_" + std::to_wstring(m_resourceId);
    return HandleGetObject(m_hWnd, wParam, lParam, id, id);
}

} // namespace vek
