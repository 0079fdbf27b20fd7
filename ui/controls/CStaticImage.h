#pragma once
// A picture drawn from a PNG resource with GDI+, stretched over the control. It paints no
// background of its own (the parent repaints the area beneath on request), inverts its colours
// in high contrast, and answers UI Automation as "StaticImg_<resource id>".
#include "ui/image/VekSharedResourceImage.h"
#include "ui/util/VekScreen.h"
#include "ui/window/VekWindowImpl.h"

namespace vek {

class CStaticImage : public VekWindowImpl {
public:
    static const wchar_t* const kClassName; // "VEK_ImageStatic", a superclass of STATIC

    CStaticImage() = default;

    // At (x, y), the image's size when it loads, scaled by the owner's scale factors like every
    // other design length (a picture drawn at its pixel size no longer spans the dialog at a
    // higher resolution); shown when `show`. The window, or null.
    HWND Create(HWND parent, int resourceId, int x, int y, bool show, const VekScale& scale = VekScale());
    // Takes the shared "PNG" image of the stored id in place of a held one; false (logged) on failure.
    bool LoadImageW();
    // Switches to another image, asks the parent to repaint the area and shows the control.
    void SetImage(int resourceId);
    int GetResourceId() const { return m_resourceId; }
    bool IsHighContrast() const { return m_highContrast; }

    VEK_BEGIN_MSG_MAP(CStaticImage)
    VEK_MESSAGE_HANDLER(WM_THEMECHANGED, OnThemeChanged)
    VEK_MESSAGE_HANDLER(WM_PAINT, OnPaint)
    VEK_MESSAGE_HANDLER(WM_GETOBJECT, OnGetObject)
    VEK_END_MSG_MAP()

private:
    LRESULT OnThemeChanged(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnPaint(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnGetObject(UINT, WPARAM wParam, LPARAM lParam, BOOL&);

    int m_resourceId = -1;
    std::shared_ptr<VekResourceImage> m_image; // shared with every control of the same image
    bool m_highContrast = false;
};

} // namespace vek
