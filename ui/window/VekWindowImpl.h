#pragma once
// The base of every window class of the user interface: a window object whose messages go
// through its message map (VekMessageMap.h) first and then to the window's previous procedure.
//
// One mechanism serves all three ways the launcher makes a window:
// - its own class (RegisterWindowClass): the class procedure is DefWindowProc;
// - a superclass of a system class (RegisterSuperclass): the base class's procedure;
// - a window of a system class ("BUTTON") or an existing window (SubclassWindow).
// Create() installs a thread-local CBT hook for the call, so the object is attached to its
// window before WM_NCCREATE: the map sees WM_CREATE even for system classes. The object finds
// itself through a window property, so the window's user data stays free.
//
// Lifetime: WM_NCDESTROY detaches the object (then OnFinalMessage); destroying the object first
// detaches and destroys its window, so neither outlives the other with a dangling link.
#include "ui/window/VekMessageMap.h"
#include "ui/window/VekWindow.h"

// windowsx.h names a macro SubclassWindow, which would rewrite the member below in every file that
// includes both: it is included here first and the macro removed.
#include <windowsx.h>
#undef SubclassWindow

namespace vek {

class VekWindowImpl : public VekWindow {
public:
    VekWindowImpl() = default;
    ~VekWindowImpl() override;
    VekWindowImpl(const VekWindowImpl&) = delete;
    VekWindowImpl& operator=(const VekWindowImpl&) = delete;

    // Creates the window and routes its messages, from the first, through the map. Null on
    // failure (the last error is the system's).
    HWND Create(const wchar_t* className, HWND parent, const RECT& rect, const wchar_t* text, DWORD style,
                DWORD exStyle = 0, UINT controlId = 0);
    // Routes an existing window's messages through the map. FALSE when already attached.
    BOOL SubclassWindow(HWND hWnd);
    // Gives the window back its previous procedure; returns the window.
    HWND UnsubclassWindow();
    BOOL DestroyWindow();

    // Handles one message; TRUE when handled with lResult as the answer.
    virtual BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) = 0;
    // The previous procedure's (class or superclass) answer.
    LRESULT DefWindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam);

    // Registers a class of this module whose procedure is DefWindowProc; an existing class of
    // that name counts as success.
    static bool RegisterWindowClass(const wchar_t* name, UINT classStyle, HBRUSH background, HCURSOR cursor);
    // Registers `name` as a copy of `baseClass` (styles, cursor, background, procedure).
    static bool RegisterSuperclass(const wchar_t* name, const wchar_t* baseClass);
    // The object attached to a window by this layer, or null.
    static VekWindowImpl* FromHandle(HWND hWnd);

protected:
    // After the window's last message; the object may delete itself here.
    virtual void OnFinalMessage(HWND) {}

private:
    void Attach(HWND hWnd);
    void Detach();
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK CreationHook(int code, WPARAM wParam, LPARAM lParam);

    WNDPROC m_previousProc = nullptr;
};

// For a parent's map: sends WM_COMMAND, WM_NOTIFY, WM_DRAWITEM and WM_CTLCOLOR* on to the child
// that caused them as message + VEK_OCM_BASE, when that child is a window of this layer.
BOOL ReflectNotification(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult);

} // namespace vek

#define VEK_REFLECT_NOTIFICATIONS()                                \
    if (::vek::ReflectNotification(uMsg, wParam, lParam, lResult)) \
        return TRUE;
