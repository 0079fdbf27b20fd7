#pragma once
// The launcher's hidden top-level window. It owns the notification-area icon and its menu,
// creates and owns the main dialog, and is the one door through which the worker threads reach
// the user interface: the UI engine only posts job updates and progress records here, and this
// window passes them on to the main dialog. When it closes it decides which clean-up the job
// engine performs; its destruction ends the message loop with the process exit code.
//
// The job engine and the main dialog are reached through two small interfaces
// (VekTrayEngine, VekTrayMainDialog) and the shell, the menu and the quit prompt through
// protected virtual members, so that a test drives the real window with real messages.
#include "engine/jobengine/VekCleanupFlags.h"
#include "ui/tray/VekTrayEngine.h"
#include "ui/tray/VekTrayMainDialog.h"
#include "ui/window/VekWindowImpl.h"

#include "common/system/qkCommandLine.h"

#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vek {

class VekJobEngine;
class VekDataReporter;

// What a test (or another program) may set instead of the process defaults.
struct VekTrayOptions {
    // The switches ("m": start hidden); empty: the process command line.
    std::optional<qkCommandLine> commandLine;
    // The product title's string id (tip, quit prompt caption); empty: the process-wide id.
    std::function<UINT()> productTitleId;
    // Makes the main dialog owned by the tray window; empty: the tray has no dialog and its
    // creation fails (createMainDialog may be overridden instead).
    std::function<std::unique_ptr<VekTrayMainDialog>(HWND owner)> mainDialogFactory;
    // Whether the system is Windows 8 or later; empty: asked of the system.
    std::optional<bool> windows8OrLater;
};

class VekTray : public VekWindowImpl {
public:
    static constexpr UINT kIconId = 201;            // notification icon id and icon resource
    static constexpr UINT kWindowIconId = 128;      // the window's big and small icons
    static constexpr UINT kCommandOpen = 0x8008;    // menu: show the main dialog
    static constexpr UINT kCommandQuit = 0x8007;    // menu: quit (asks while jobs run)
    static constexpr UINT kMinimizeDelayMs = 3000;  // after event 4, then hide the dialog

    // The product's tray: the real job engine (may be null) and the real main dialog.
    VekTray(std::shared_ptr<VekDataReporter> reporter, std::shared_ptr<VekJobEngine> jobEngine);
    // Any engine (may be null) and dialog, as the options say.
    VekTray(std::shared_ptr<VekDataReporter> reporter, std::shared_ptr<VekTrayEngine> engine, VekTrayOptions options);
    ~VekTray() override;

    // Creates the hidden window (class "VEK_Tray", no parent, default position, no title). The
    // main dialog and the icon are made in its WM_CREATE. VEK_E_TRAY_WINDOW when the window or
    // its main dialog could not be made.
    HRESULT Create();
    HWND hwnd() const { return m_hWnd; }

    // Any thread: closes the tray for a relaunch of the launcher. That close performs no
    // clean-up, since the relaunched copy needs the state, registry values and task just saved.
    void closeForRelaunch();

    // Shows (only when hidden) or hides (only when visible) the main dialog.
    void showMainWindow(bool show);

    // ---- state, for the UI engine and tests -----------------------------------------------
    VekTrayMainDialog* mainDialog() const { return m_mainDialog.get(); }
    unsigned cleanupFlags() const { return m_cleanupFlags; }
    bool startHidden() const { return m_startHidden; }
    bool quitPromptOpen() const { return m_quitPromptOpen; }
    bool exitDisabled() const { return m_exitDisabled; }
    bool failureSeen() const { return m_failureSeen; }
    bool keepState() const { return m_keepState; }
    bool leftToRight() const { return m_leftToRight; }
    bool minimizeOnInstall() const { return m_minimizeOnInstall; }
    bool sessionEnding() const { return m_sessionEnding; }
    bool fatalJobFailure() const { return m_fatalJobFailure; }
    bool closeOnCompletion() const { return m_closeOnCompletion; }
    bool manifestSilent() const { return m_manifestSilent; }
    bool iconAdded() const { return m_iconAdded; }
    const NOTIFYICONDATAW& notifyIconData() const { return m_notifyIconData; }

    // The size of the notification record for the shell's version: the older layout below
    // 6.0.6001 (or when the version is unknown: the newer one).
    static DWORD NotifyIconDataSize(bool versionKnown, DWORD major, DWORD minor, DWORD build);
    // Shell32's version through its DllGetVersion, loaded from the system folder only.
    static bool QueryShellVersion(DWORD& major, DWORD& minor, DWORD& build);

    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override;

protected:
    // ---- seams to the outside world ----------------------------------------------------------
    // Makes the main dialog owned by the tray window (default: the options' factory).
    virtual std::unique_ptr<VekTrayMainDialog> createMainDialog(HWND owner);
    // Shell_NotifyIconW.
    virtual BOOL notifyIcon(DWORD message, NOTIFYICONDATAW& data);
    // TrackPopupMenuEx; the chosen command arrives as WM_COMMAND.
    virtual BOOL trackPopupMenu(HMENU popup, UINT flags, POINT point);
    // The quit question; IDYES or IDNO.
    virtual int quitPrompt(const std::wstring& text, const std::wstring& caption, UINT type);
    // SetTimer for the minimize-on-install timer; 0 on failure.
    virtual UINT_PTR setTimer(UINT_PTR id, UINT milliseconds);

private:
    BOOL dispatchMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult);

    LRESULT OnOpen(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnQuit(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnClose(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnCreate(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnEndSession(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnQueryEndSession(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnJobUpdate(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnJobProgress(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnTaskbarCreated(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnTrayNotify(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnDisableExit(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnEnableExit(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnTimer(UINT, WPARAM, LPARAM, BOOL&);

    void showContextMenu();
    void showBalloon(const std::wstring& text, const std::wstring& title);
    void decideCleanupFlags();
    bool mainDialogIsWindow() const;
    bool mainDialogVisible() const;
    UINT productTitleId() const;
    bool windows8OrLater() const;

    std::shared_ptr<VekDataReporter> m_DataReporter;
    std::shared_ptr<VekTrayEngine> m_engine;
    VekTrayOptions m_options;
    qkCommandLine m_commandLine;
    UINT m_taskbarCreatedMessage = 0;

    NOTIFYICONDATAW m_notifyIconData{};
    std::unique_ptr<VekTrayMainDialog> m_mainDialog;
    HICON m_bigIcon = nullptr;
    HICON m_smallIcon = nullptr;

    bool m_startHidden = false;
    bool m_quitPromptOpen = false;
    bool m_exitDisabled = false;
    bool m_failureSeen = false;
    bool m_keepState = false;
    bool m_leftToRight = true;
    bool m_minimizeOnInstall = false;
    bool m_sessionEnding = false;
    bool m_fatalJobFailure = false;
    bool m_closeOnCompletion = true;
    bool m_manifestSilent = false;
    bool m_iconAdded = false;
    // WM_CREATE went through: only a tray window that came to be ends the message loop.
    bool m_created = false;
    std::atomic<bool> m_closingForRelaunch{false};
    unsigned m_cleanupFlags = eCleanAll;
};

} // namespace vek
