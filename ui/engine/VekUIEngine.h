#pragma once
// The interactive engine that wWinMain creates and starts. It decides on scheduling, silent mode
// and a restart in the user's session, waits for a running upgrade and for a previous instance,
// checks the prerequisites, loads and prepares the manifest, creates the tray window and the main
// dialog, and turns job events and progress, which arrive on worker threads, into window
// messages posted to the tray window (each carrying its own copy of the data).
//
// The outside world (message boxes, error reports, the task scheduler, sessions, the upgrade key,
// the tray window and the main dialog) is reached through protected virtual members, so that a
// test drives the real engine without the whole product around it.
#include "engine/base/VekEngineBase.h"
#include "engine/launcher/VekPrerequisites.h"
#include "ui/window/VekGdiplusSession.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace vek {

class VekTray;
class VekBaseUI;

class VekUIEngine : public VekEngineBase {
public:
    // The schedule kinds of SCHEDULE_TO (1, 2, 3 map to the task scheduler's 0, 1, 2).
    static constexpr int kScheduleKinds = 3;
    // How long Start waits for a running upgrade's confirmation key to go away.
    static constexpr DWORD kUpgradeKeyWaitMs = 10 * 60 * 1000;
    static constexpr DWORD kUpgradeKeyPollMs = 1000;

    VekUIEngine();
    ~VekUIEngine() override;

    // ---- what wWinMain calls ---------------------------------------------------------------
    HRESULT Start(const wchar_t* exePath, const wchar_t* cmdLine) override;
    using VekEngineBase::Start;
    // Shows the main dialog on that page (0: the job list, else a launcher result code).
    int showUI(HRESULT page);
    // The "another download manager is running" box; in silent mode only the exit code 9.
    int showAnotherInstancePrompt();
    bool isScheduledForLater() const { return m_ScheduledToRunLater; }
    bool needsRestartInUserSession() const { return m_RestartInUserSession; }
    bool getRestartCommandLine(std::wstring& commandLine) const;
    bool isSilent() const { return m_Silent; }
    // The tray window (null before initialize or when it could not be made).
    HWND trayWindow() const;
    VekTray* tray() const { return m_Tray.get(); }
    VekBaseUI* baseUI() const { return m_BaseUI.get(); }

    // ---- the engine interface ------------------------------------------------------------
    HRESULT OnJobEvent(int32_t event, const json& job) override;
    void OnJobProgress(uint64_t total, uint64_t done) override;
    HRESULT initialize() override;
    HRESULT loadManifest(ManifestDocument& manifest) override;
    HRESULT canRun(const wchar_t* manifestId) override;
    HRESULT prerequisitesSatisified() override;
    std::shared_ptr<VekDataReporter> createDataReporter(ManifestDocument& manifest) override;

    // Adds one to the manifest's FailureCount registry value.
    bool incrementFailureCount(const wchar_t* manifestId);
    // Creates and shows the main dialog on that page.
    void showBaseUI(HRESULT page);

    // ---- state read by tests and the tray ----------------------------------------------------
    bool throttlesProgress() const { return m_ThrottleProgress; }
    uint64_t lastPostedProgress() const { return m_LastPostedProgress; }
    bool errorReported() const { return m_ErrorReported; }

protected:
    // ---- seams to the outside world ---------------------------------------------------------
    // A message box with a string of the user-interface table and the product title; returns
    // the box's answer.
    virtual int messageBox(UINT stringId, UINT type);
    // An error report through the common library's error instance.
    virtual void reportError(HRESULT code);
    // The postponed-run task: deleted for DISABLE_SCHEDULE, registered for SCHEDULE_TO
    // (kind 0..2); runNow is set when the present time already fits the schedule.
    virtual bool deletePostponedTask();
    virtual bool registerPostponedTask(const std::wstring& launcherPath, const std::wstring& commandLine, int kind,
                                       bool& runNow);
    // The active user session (-1: none) and whether this process runs in it.
    virtual DWORD activeSessionId();
    virtual bool inInteractiveSession();
    // A running upgrade waits for confirmation (the marker key exists).
    virtual bool upgradeConfirmationPending(const ManifestDocument& manifest);
    // The pause between attempts of the instance wait and between looks at the upgrade marker
    // (tests shorten it).
    virtual void instanceWaitPause(DWORD milliseconds);
    // Reads the manifest appended to the executable.
    virtual HRESULT loadManifestFromExecutable(const std::wstring& exePath, ManifestDocument& manifest);
    // The installed-version answer of the MSI utility for the endpoint product (-2: not installed).
    virtual int installedEndpointVersion(const wchar_t* upgradeCode, const wchar_t* upgradeCodeWow64);
    // This machine's facts for the prerequisite checks.
    virtual SystemFacts systemFacts();
    // Creates the tray window; the window handle or null (the result says why).
    virtual HRESULT createTray(HWND& window);
    // Creates and shows the main dialog.
    virtual HRESULT createBaseUI(HRESULT page);
    // Is this system Windows 8 or later.
    virtual bool isWindows8OrLater();

    // ---- the steps of Start and of the manifest loading ---------------------------------------
    // DISABLE_SCHEDULE deletes the postponed task; SCHEDULE_TO 1..3 registers it (runNow set when
    // the present time already fits); any other value only postpones. The scheduler's answer.
    bool handleScheduledRun(const std::wstring& commandLine, bool& runNow);
    // False when the upgrade marker is still there after timeoutMs.
    bool waitUpgradeConfirmationGone(const ManifestDocument& manifest, DWORD timeoutMs);
    // A user is logged on elsewhere while this process is not in the interactive session.
    void checkUserSession();
    // SILENT or no interactive session; else UNATTENDED; else the install job's ui_mode.
    void decideSilentMode(const ManifestDocument& manifest);
    // An OMBL-only package needs an installer for this system and the installed endpoint product
    // (sets the exit code when it refuses).
    HRESULT checkOmblPrerequisites(const ManifestDocument& manifest);
    // Shortcut descriptions in the user-interface language; the Start menu shortcut hidden on
    // Windows 8 and later.
    void localizeShortcutDescriptions(ManifestDocument& manifest);
    void hideStartMenuShortcut(ManifestDocument& manifest);

    std::wstring m_exePath;
    // GDI+ runs for the engine's whole life: declared before the windows that draw with it.
    VekGdiplusSession m_gdiplus;
    std::unique_ptr<VekTray> m_Tray;
    std::unique_ptr<VekBaseUI> m_BaseUI;
    std::atomic<HWND> m_trayWindow{nullptr};
    bool m_Silent = false;
    std::atomic<uint64_t> m_LastPostedProgress{0};
    std::atomic<bool> m_ThrottleProgress{false};
    std::atomic<bool> m_ErrorReported{false};
    bool m_ScheduledToRunLater = false;
    bool m_RestartInUserSession = false;
    std::wstring m_RestartCommandLine;

private:
    void postJobUpdate(int32_t event, const json& job);
    void postProgress(uint64_t total, uint64_t done);
    void reportOnce(HRESULT code);
    HKEY registryRoot() const;

    // The registry context of the last manifest loaded (the lock wait counts failures under it),
    // and the manifest copy the data reporter reads.
    json m_registryContext;
    json m_reporterManifest;
};

} // namespace vek
