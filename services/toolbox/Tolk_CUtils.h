#pragma once
// Folder deletion that keeps working where files are read-only, in use or owned by others: it
// refuses the system's well-known folders, takes access to stubborn entries and schedules what
// still cannot go for removal at the next restart. It never descends into a junction or
// symbolic link: a link is removed as a link, its target untouched, and access is never taken
// through one. The restart deletes by path: with full rights an entry is scheduled only where no
// other account can write a folder on its way (qkFolderTrust::OthersCanRedirect); elsewhere it
// is left in place and logged.
#include <windows.h>

#include <string>

namespace Tolk {

class CUtils {
public:
    // Delete flags, one word shared by a walk.
    enum : DWORD {
        kScheduledForRestart = 0x1,   // out: a file was scheduled for deletion at restart
        kMayScheduleForRestart = 0x2, // in: a file that cannot be deleted may be scheduled
        kLogFolderScheduling = 0x4,   // in: failures to schedule a folder are logged
    };

    // Handles one entry of a folder; false ends the walk (only when the path cannot be formed).
    using Handler = bool (*)(const wchar_t* folder, const WIN32_FIND_DATAW& entry, DWORD* flags);

    // S_OK when the folder is gone (or was never there); E_INVALIDARG for a null or protected
    // path; E_FAIL when the walk broke off; HRESULT_FROM_WIN32(ERROR_SUCCESS_REBOOT_REQUIRED)
    // when the folder stays until the restart that removes what was scheduled; the removal's
    // error when it stays with nothing scheduled.
    static HRESULT DeleteFolder(const wchar_t* path);
    // The system's well-known folders themselves (not what lies below them), the drive roots and
    // paths of three characters or fewer.
    static bool IsProtectedFolder(const wchar_t* path);
    // Depth first: files go to the handler, folders are walked and then handed over; links to
    // folders are handed over without being walked. HRESULT_FROM_WIN32(ERROR_NOT_FOUND) when the
    // folder does not exist; HRESULT_FROM_WIN32(ERROR_CANCELLED) when a handler ended the walk.
    static HRESULT WalkFolder(const wchar_t* folder, Handler handler, DWORD* flags);
    static bool DeleteHandler(const wchar_t* folder, const WIN32_FIND_DATAW& entry, DWORD* flags);
    // Deletes one file through a handle on the entry itself (a link goes as a link). A file that
    // cannot be deleted now is scheduled for the restart when flags (null: kMayScheduleForRestart)
    // allow it, as above. S_OK when it is gone or was never there;
    // HRESULT_FROM_WIN32(ERROR_SUCCESS_REBOOT_REQUIRED) when it waits for the restart; otherwise
    // the deletion's error, the entry left in place.
    static HRESULT RemoveFile(const wchar_t* path, DWORD* flags);
};

} // namespace Tolk
