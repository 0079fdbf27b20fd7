#pragma once
// What the tray window needs of the main dialog it owns: its window, its own show operation and
// its destruction. The product wraps the real main dialog (VekTrayBaseUI); tests put a plain
// window in its place, so that the tray's rules run without the whole dialog.
#include <windows.h>

namespace vek {

class VekTrayMainDialog {
public:
    virtual ~VekTrayMainDialog() = default;

    // The dialog's window; null when it has none (any more).
    virtual HWND hwnd() const = 0;
    // The dialog's own show operation (it may refuse to hide while it asks the user something).
    virtual void showWindow(int showCommand) = 0;
    // Destroys the window; the object stays until the tray goes.
    virtual void destroy() = 0;
};

} // namespace vek
