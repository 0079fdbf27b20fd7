#include "UiTestSupport.h"

#include "ui/VekWindowMessages.h"
#include "ui/image/VekResourceImage.h"
#include "ui/res/VekResourceIds.h"
#include "ui/resources/CVekResourceLoader.h"
#include "ui/window/VekGdi.h"
#include "ui/window/VekGdiplusSession.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <memory>

namespace uitest {

namespace {

// GDI+, the common controls and English strings for every test of the program.
class UiEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        m_gdiplus = std::make_unique<vek::VekGdiplusSession>();
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES | ICC_BAR_CLASSES | ICC_LINK_CLASS};
        ::InitCommonControlsEx(&controls);
        CVekResourceLoader::Instance().Initialize(0x0409, 0x0409);
    }
    void TearDown() override { m_gdiplus.reset(); }

private:
    std::unique_ptr<vek::VekGdiplusSession> m_gdiplus;
};

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new UiEnvironment);

bool PngEncoder(CLSID& encoder)
{
    UINT count = 0;
    UINT size = 0;
    if (Gdiplus::GetImageEncodersSize(&count, &size) != Gdiplus::Ok || size == 0)
        return false;
    std::vector<BYTE> buffer(size);
    auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    if (Gdiplus::GetImageEncoders(count, size, codecs) != Gdiplus::Ok)
        return false;
    for (UINT i = 0; i < count; ++i)
        if (std::wstring(codecs[i].MimeType) == L"image/png") {
            encoder = codecs[i].Clsid;
            return true;
        }
    return false;
}

std::wstring ScreenshotFolder()
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    folder.resize(folder.find_last_of(L'\\') + 1);
    folder += L"screenshots";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

} // namespace

void Pump(DWORD milliseconds)
{
    const ULONGLONG end = ::GetTickCount64() + milliseconds;
    do {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    } while (::GetTickCount64() < end);
}

const UINT TestWindow::WM_VEK_INVALIDATE_AREA_ID = WM_VEK_INVALIDATE_AREA;

TestWindow::TestWindow(int width, int height, DWORD exStyle, bool show)
{
    RegisterWindowClass(L"VekUiTestWindow", CS_HREDRAW | CS_VREDRAW, nullptr, ::LoadCursorW(nullptr, IDC_ARROW));
    const RECT rect = {40, 40, 40 + width, 40 + height};
    // Shown without activation: Wine then leaves the window unmanaged, and destroying it does
    // not wait for a window manager that Xvfb does not have.
    Create(L"VekUiTestWindow", nullptr, rect, L"UI test", WS_POPUP | WS_CLIPSIBLINGS, exStyle | WS_EX_TOOLWINDOW);
    if (show)
        ::SetWindowPos(m_hWnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_SHOWWINDOW);
}

LRESULT TestWindow::OnPaint(UINT, WPARAM, LPARAM, BOOL&)
{
    vek::VekPaintDC paint(m_hWnd);
    const RECT client = GetClientRect();
    TRIVERTEX vertices[2] = {{0, 0, 0xFF00, 0xFF00, 0xFF00, 0},
                             {client.right, client.bottom, 0xD800, 0xE400, 0xF000, 0}};
    GRADIENT_RECT gradient = {0, 1};
    ::GdiGradientFill(paint.Get(), vertices, 2, &gradient, 1, GRADIENT_FILL_RECT_V);
    vek::VekResourceImage banner;
    if (banner.Load(IDR_PNG_BANNER, L"PNG", CVekResourceLoader::Instance().GetModule())) {
        Gdiplus::Graphics graphics(paint.Get());
        graphics.DrawImage(banner.GetImage(), Gdiplus::Rect(0, 0, client.right, 64));
    }
    return 0;
}

LRESULT TestWindow::OnInvalidateArea(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    ++invalidateCount;
    lastInvalidateFlag = lParam;
    RECT area = *reinterpret_cast<const RECT*>(wParam);
    ::MapWindowPoints(HWND_DESKTOP, m_hWnd, reinterpret_cast<POINT*>(&area), 2);
    ::InvalidateRect(m_hWnd, &area, TRUE);
    return 1;
}

LRESULT TestWindow::OnCommand(UINT, WPARAM wParam, LPARAM, BOOL&)
{
    commands.push_back(LOWORD(wParam));
    return 0;
}

LRESULT TestWindow::OnNotify(UINT, WPARAM, LPARAM lParam, BOOL&)
{
    notifications.push_back(reinterpret_cast<const NMHDR*>(lParam)->code);
    return 0;
}

LRESULT TestWindow::OnClose(UINT, WPARAM, LPARAM, BOOL&)
{
    ++closeCount;
    return 0;
}

LRESULT TestWindow::OnCtlColorButton(UINT, WPARAM, LPARAM, BOOL&)
{
    return reinterpret_cast<LRESULT>(::GetStockObject(WHITE_BRUSH));
}

std::wstring Capture::Save(const std::wstring& name) const
{
    CLSID encoder{};
    if (width == 0 || !PngEncoder(encoder))
        return {};
    Gdiplus::Bitmap bitmap(width, height, width * 4, PixelFormat32bppRGB,
                           reinterpret_cast<BYTE*>(const_cast<DWORD*>(pixels.data())));
    const std::wstring path = ScreenshotFolder() + L"\\" + name + L".png";
    return bitmap.Save(path.c_str(), &encoder, nullptr) == Gdiplus::Ok ? path : std::wstring();
}

Capture CaptureWindow(HWND hWnd, bool repaint)
{
    if (repaint)
        ::RedrawWindow(hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Pump(150);
    Capture capture;
    RECT rect{};
    ::GetWindowRect(hWnd, &rect);
    capture.width = rect.right - rect.left;
    capture.height = rect.bottom - rect.top;
    vek::VekWindowDC screen(nullptr);
    vek::VekMemoryDC memory(screen.Get());
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), capture.width, -capture.height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    vek::VekBitmap bitmap(::CreateDIBSection(screen.Get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!bitmap || bits == nullptr)
        return {};
    {
        vek::VekSelectObject selected(memory.Get(), bitmap.Get());
        ::BitBlt(memory.Get(), 0, 0, capture.width, capture.height, screen.Get(), rect.left, rect.top, SRCCOPY);
    }
    ::GdiFlush();
    const auto* source = static_cast<const DWORD*>(bits);
    capture.pixels.assign(source, source + static_cast<size_t>(capture.width) * capture.height);
    for (DWORD& pixel : capture.pixels)
        pixel &= 0x00FFFFFF;
    return capture;
}

} // namespace uitest
