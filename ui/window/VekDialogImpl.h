#pragma once
// The base of the user interface's dialogs: a dialog made from a template of the executable
// whose messages go through the message map from WM_INITDIALOG on (earlier messages, such as
// WM_SETFONT, get the dialog manager's default). A handled message answers as the dialog
// manager expects: the value itself for the messages that return one directly, otherwise
// through DWLP_MSGRESULT.
#include "ui/window/VekMessageMap.h"
#include "ui/window/VekWindow.h"

namespace vek {

class VekDialogImpl : public VekWindow {
public:
    explicit VekDialogImpl(UINT templateId) : m_templateId(templateId) {}
    ~VekDialogImpl() override;
    VekDialogImpl(const VekDialogImpl&) = delete;
    VekDialogImpl& operator=(const VekDialogImpl&) = delete;

    // Runs the dialog modally; the result of EndDialog, or -1 when it could not be made.
    INT_PTR DoModal(HWND owner);
    // A modeless dialog; null on failure.
    HWND Create(HWND owner);
    BOOL EndDialog(INT_PTR result);
    BOOL DestroyWindow();

    virtual BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) = 0;

protected:
    virtual void OnFinalMessage(HWND) {}
    bool IsModal() const { return m_modal; }

private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

    UINT m_templateId;
    bool m_modal = false;
};

} // namespace vek
