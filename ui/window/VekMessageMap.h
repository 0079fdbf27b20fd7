#pragma once
// Message maps: a window class lists the messages it handles in one block, first match wins.
//
//     VEK_BEGIN_MSG_MAP(CStaticImage)
//         VEK_MESSAGE_HANDLER(WM_PAINT, OnPaint)
//         VEK_MESSAGE_RANGE_HANDLER(WM_MOUSEFIRST, WM_MOUSELAST, OnMouse)
//     VEK_END_MSG_MAP()
//
// A handler has the form  LRESULT OnX(UINT message, WPARAM, LPARAM, BOOL& handled); `handled`
// arrives TRUE, and a handler that clears it lets the message go on to the next entry and
// finally to the window's default procedure. The block defines ProcessWindowMessage, which the
// window layer (VekWindowImpl, VekDialogImpl) calls for every message of the window.
#include <windows.h>

// Notifications that a parent reflects to the child that sent them arrive as
// message + VEK_OCM_BASE (the same numbers the system's reflection uses).
#define VEK_OCM_BASE (WM_USER + 0x1C00)

#define VEK_BEGIN_MSG_MAP(theClass)                                                                          \
public:                                                                                                      \
    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override \
    {                                                                                                        \
        (void)hWnd;                                                                                          \
        BOOL bHandled = TRUE;                                                                                \
        (void)bHandled;

#define VEK_MESSAGE_HANDLER(msg, func)                  \
    if (uMsg == (msg)) {                                \
        bHandled = TRUE;                                \
        lResult = func(uMsg, wParam, lParam, bHandled); \
        if (bHandled)                                   \
            return TRUE;                                \
    }

#define VEK_MESSAGE_RANGE_HANDLER(msgFirst, msgLast, func) \
    if (uMsg >= (msgFirst) && uMsg <= (msgLast)) {         \
        bHandled = TRUE;                                   \
        lResult = func(uMsg, wParam, lParam, bHandled);    \
        if (bHandled)                                      \
            return TRUE;                                   \
    }

// WM_COMMAND with the given control id (any notification code).
#define VEK_COMMAND_ID_HANDLER(id, func)                \
    if (uMsg == WM_COMMAND && LOWORD(wParam) == (id)) { \
        bHandled = TRUE;                                \
        lResult = func(uMsg, wParam, lParam, bHandled); \
        if (bHandled)                                   \
            return TRUE;                                \
    }

// Passes the message to a base class's map.
#define VEK_CHAIN_MSG_MAP(theBase)                                          \
    if (theBase::ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult)) \
        return TRUE;

#define VEK_END_MSG_MAP() \
    return FALSE;         \
    }
