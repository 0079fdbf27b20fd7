#include "ui/window/VekDialogImpl.h"

#include "ui/window/VekMessageGuard.h"

namespace vek {

namespace {

const wchar_t kDialogProperty[] = L"VekDialogObject";

// Messages whose answer is the dialog procedure's return value itself.
bool AnswersDirectly(UINT uMsg)
{
    switch (uMsg) {
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_INITDIALOG:
    case WM_QUERYDRAGICON:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
        return true;
    default:
        return false;
    }
}

} // namespace

VekDialogImpl::~VekDialogImpl()
{
    if (m_hWnd != nullptr && !m_modal) {
        HWND hWnd = m_hWnd;
        ::RemovePropW(hWnd, kDialogProperty);
        m_hWnd = nullptr;
        ::DestroyWindow(hWnd);
    }
}

INT_PTR VekDialogImpl::DoModal(HWND owner)
{
    if (m_hWnd != nullptr)
        return -1;
    m_modal = true;
    const INT_PTR result = ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(m_templateId), owner,
                                             DialogProc, reinterpret_cast<LPARAM>(this));
    m_modal = false;
    return result;
}

HWND VekDialogImpl::Create(HWND owner)
{
    if (m_hWnd != nullptr)
        return nullptr;
    m_modal = false;
    return ::CreateDialogParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(m_templateId), owner, DialogProc,
                                reinterpret_cast<LPARAM>(this));
}

BOOL VekDialogImpl::EndDialog(INT_PTR result)
{
    return m_hWnd != nullptr && ::EndDialog(m_hWnd, result);
}

BOOL VekDialogImpl::DestroyWindow()
{
    return m_hWnd != nullptr && ::DestroyWindow(m_hWnd);
}

INT_PTR CALLBACK VekDialogImpl::DialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    auto* self = static_cast<VekDialogImpl*>(::GetPropW(hWnd, kDialogProperty));
    if (self == nullptr && uMsg == WM_INITDIALOG) {
        self = reinterpret_cast<VekDialogImpl*>(lParam);
        self->m_hWnd = hWnd;
        ::SetPropW(hWnd, kDialogProperty, self);
    }
    if (self == nullptr)
        return FALSE;

    LRESULT result = 0;
    bool failed = false;
    const BOOL handled = ProcessMessageGuarded(hWnd, uMsg, result, [&] {
        failed = true;
        const BOOL mapped = self->ProcessWindowMessage(hWnd, uMsg, wParam, lParam, result);
        failed = false;
        return mapped;
    });
    if (failed && uMsg == WM_INITDIALOG) {
        // A dialog whose initialisation failed is half built: it is not created at all
        // (CreateDialogParam answers null for a dialog destroyed during WM_INITDIALOG).
        ::DestroyWindow(hWnd);
        return FALSE;
    }
    if (uMsg == WM_NCDESTROY) {
        ::RemovePropW(hWnd, kDialogProperty);
        self->m_hWnd = nullptr;
        self->OnFinalMessage(hWnd);
        return FALSE;
    }
    if (!handled)
        return uMsg == WM_INITDIALOG ? TRUE : FALSE;
    if (AnswersDirectly(uMsg))
        return static_cast<INT_PTR>(result);
    ::SetWindowLongPtrW(hWnd, DWLP_MSGRESULT, result);
    return TRUE;
}

} // namespace vek
