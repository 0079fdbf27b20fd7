#include "ui/window/VekWindowImpl.h"

#include "common/errors/qkLog.h"
#include "ui/window/VekMessageGuard.h"

namespace vek {

namespace {

const wchar_t kObjectProperty[] = L"VekWindowObject";

// The object whose window the current Create call on this thread makes.
thread_local VekWindowImpl* t_creating = nullptr;

} // namespace

VekWindowImpl::~VekWindowImpl()
{
    // The derived object is gone: no message may reach its map any more.
    if (HWND hWnd = UnsubclassWindow())
        ::DestroyWindow(hWnd);
}

HWND VekWindowImpl::Create(const wchar_t* className, HWND parent, const RECT& rect, const wchar_t* text, DWORD style,
                           DWORD exStyle, UINT controlId)
{
    if (m_hWnd != nullptr) {
        ::SetLastError(ERROR_ALREADY_EXISTS);
        return nullptr;
    }
    HHOOK hook = ::SetWindowsHookExW(WH_CBT, CreationHook, nullptr, ::GetCurrentThreadId());
    if (hook == nullptr) {
        QK_LOG_ERROR(L"SetWindowsHookExW failed for class %s, error %lu", className, ::GetLastError());
        return nullptr;
    }
    t_creating = this;
    HMENU menu = (style & WS_CHILD) ? reinterpret_cast<HMENU>(static_cast<UINT_PTR>(controlId)) : nullptr;
    HWND hWnd = ::CreateWindowExW(exStyle, className, text, style, rect.left, rect.top, rect.right - rect.left,
                                  rect.bottom - rect.top, parent, menu, ::GetModuleHandleW(nullptr), this);
    const DWORD error = ::GetLastError();
    t_creating = nullptr;
    ::UnhookWindowsHookEx(hook);
    ::SetLastError(error);
    return hWnd;
}

BOOL VekWindowImpl::SubclassWindow(HWND hWnd)
{
    if (m_hWnd != nullptr || hWnd == nullptr || !::IsWindow(hWnd) || FromHandle(hWnd) != nullptr)
        return FALSE;
    Attach(hWnd);
    return TRUE;
}

HWND VekWindowImpl::UnsubclassWindow()
{
    HWND hWnd = m_hWnd;
    if (hWnd != nullptr)
        Detach();
    return hWnd;
}

BOOL VekWindowImpl::DestroyWindow()
{
    return m_hWnd != nullptr && ::DestroyWindow(m_hWnd);
}

LRESULT VekWindowImpl::DefWindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    WNDPROC proc = m_previousProc != nullptr ? m_previousProc : ::DefWindowProcW;
    return ::CallWindowProcW(proc, m_hWnd, uMsg, wParam, lParam);
}

bool VekWindowImpl::RegisterWindowClass(const wchar_t* name, UINT classStyle, HBRUSH background, HCURSOR cursor)
{
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    HINSTANCE module = ::GetModuleHandleW(nullptr);
    if (::GetClassInfoExW(module, name, &wc))
        return true;
    wc = WNDCLASSEXW{};
    wc.cbSize = sizeof(wc);
    wc.style = classStyle;
    wc.lpfnWndProc = ::DefWindowProcW;
    wc.hInstance = module;
    wc.hCursor = cursor;
    wc.hbrBackground = background;
    wc.lpszClassName = name;
    if (::RegisterClassExW(&wc) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        QK_LOG_ERROR(L"RegisterClassExW failed for %s, error %lu", name, ::GetLastError());
        return false;
    }
    return true;
}

bool VekWindowImpl::RegisterSuperclass(const wchar_t* name, const wchar_t* baseClass)
{
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    HINSTANCE module = ::GetModuleHandleW(nullptr);
    if (::GetClassInfoExW(module, name, &wc))
        return true;
    if (!::GetClassInfoExW(nullptr, baseClass, &wc) && !::GetClassInfoExW(module, baseClass, &wc)) {
        QK_LOG_ERROR(L"GetClassInfoExW failed for %s, error %lu", baseClass, ::GetLastError());
        return false;
    }
    wc.cbSize = sizeof(wc);
    wc.hInstance = module;
    wc.lpszClassName = name;
    wc.style &= ~CS_GLOBALCLASS;
    if (::RegisterClassExW(&wc) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        QK_LOG_ERROR(L"RegisterClassExW failed for %s, error %lu", name, ::GetLastError());
        return false;
    }
    return true;
}

VekWindowImpl* VekWindowImpl::FromHandle(HWND hWnd)
{
    return static_cast<VekWindowImpl*>(::GetPropW(hWnd, kObjectProperty));
}

void VekWindowImpl::Attach(HWND hWnd)
{
    m_hWnd = hWnd;
    ::SetPropW(hWnd, kObjectProperty, this);
    m_previousProc =
        reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WindowProc)));
}

void VekWindowImpl::Detach()
{
    // Only give the procedure back when nobody subclassed the window after us.
    if (reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(m_hWnd, GWLP_WNDPROC)) == WindowProc)
        ::SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_previousProc));
    ::RemovePropW(m_hWnd, kObjectProperty);
    m_hWnd = nullptr;
}

LRESULT CALLBACK VekWindowImpl::WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    VekWindowImpl* self = FromHandle(hWnd);
    if (self == nullptr)
        return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
    LRESULT result = 0;
    const BOOL handled = ProcessMessageGuarded(
        hWnd, uMsg, result, [&] { return self->ProcessWindowMessage(hWnd, uMsg, wParam, lParam, result); });
    if (!handled)
        result = self->DefWindowProc(uMsg, wParam, lParam);
    if (uMsg == WM_NCDESTROY && self->m_hWnd == hWnd) {
        self->Detach();
        self->OnFinalMessage(hWnd);
    }
    return result;
}

LRESULT CALLBACK VekWindowImpl::CreationHook(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_CREATEWND && t_creating != nullptr) {
        auto* create = reinterpret_cast<CBT_CREATEWNDW*>(lParam);
        if (create->lpcs != nullptr && create->lpcs->lpCreateParams == t_creating) {
            VekWindowImpl* self = t_creating;
            t_creating = nullptr;
            self->Attach(reinterpret_cast<HWND>(wParam));
        }
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

BOOL ReflectNotification(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult)
{
    HWND child = nullptr;
    switch (uMsg) {
    case WM_COMMAND:
        child = reinterpret_cast<HWND>(lParam);
        break;
    case WM_NOTIFY:
        child = lParam != 0 ? reinterpret_cast<NMHDR*>(lParam)->hwndFrom : nullptr;
        break;
    case WM_DRAWITEM:
        child = lParam != 0 ? reinterpret_cast<DRAWITEMSTRUCT*>(lParam)->hwndItem : nullptr;
        break;
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
        child = reinterpret_cast<HWND>(lParam);
        break;
    default:
        return FALSE;
    }
    if (child == nullptr || VekWindowImpl::FromHandle(child) == nullptr)
        return FALSE;
    lResult = ::SendMessageW(child, VEK_OCM_BASE + uMsg, wParam, lParam);
    return TRUE;
}

} // namespace vek
