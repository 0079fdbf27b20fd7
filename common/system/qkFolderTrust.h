#pragma once
// Whether a folder or a file is safe to use. A link (junction, symbolic link, hard link) that
// another user could have planted would redirect what the process writes or deletes: refused
// for every process. A folder that another user owns would let that user swap files under a
// process with full rights (elevated, or an enabled member of Administrators): refused for such
// a process only. Swapping the files of a process without full rights gains that user no
// rights, and a shared data folder under ProgramData belongs to whichever user made it first.
#include <windows.h>

#include <string>

namespace qkFolderTrust {

// The entry exists and is a reparse point (junction, symbolic link, mount point).
bool IsReparsePoint(const std::wstring& path);
// The path itself or one of its existing parent folders below the drive or share root is a
// reparse point.
bool PathHasReparsePoint(const std::wstring& path);
// The owner is the Administrators group, SYSTEM or this process's user; false when it cannot
// be read.
bool HasTrustedOwner(const std::wstring& path);

// Whether an account other than the administrators, SYSTEM, the system's installer service and
// this process's user could add, remove or rename entries of the folder (or write a file's data),
// or change who may: its owner is another account, it has no access list, or an entry of its list
// allows another account to do so. True when its description cannot be read. Deny entries are not
// weighed: an allowing entry counts even where a deny entry before it would win. Logs nothing (the
// log's own start-up reads its settings through it).
bool OthersCanWrite(const std::wstring& path);
// The same for an entry opened with READ_CONTROL (a name of its own: a text pointer would
// otherwise convert to a handle).
bool OthersCanWriteOpened(HANDLE entry);
// Whether another account could make the path lead elsewhere: one of the folders on the way to
// its last entry, below the drive or share root (which no user can replace), is a link or
// OthersCanWrite. What lies at such a path may change between a check and a later use by path.
bool OthersCanRedirect(const std::wstring& path);

// Whether the thread acts with full rights: its impersonation token, else the process's token,
// is elevated or has the Administrators group enabled. True when the token cannot be read.
bool HasFullRights();

// Why the process must not use a folder or a file in it, as an HRESULT: S_OK;
// HRESULT_FROM_WIN32(4395, ERROR_REPARSE_POINT_ENCOUNTERED) when it or a parent is a link;
// E_ACCESSDENIED when it exists, its owner is not trusted (HasTrustedOwner) and the thread has
// full rights (HasFullRights). The refusal is logged as "<path> is or lies under a link, not
// using it" or "<path> is owned by another account, not using it".
HRESULT Refuse(const std::wstring& path);
// The same for a file opened without following links: a link or a file with other names (hard
// links) is refused, an untrusted owner only with full rights.
HRESULT RefuseOpened(HANDLE file, const std::wstring& path);
// RefuseOpened without logging: for the log file itself. A handle whose path shows a link while
// the handle shows none was opened on the link's target (Wine does) and counts as a link.
HRESULT OpenedRefusal(HANDLE file, const std::wstring& path);
// Only the links of Refuse: for a folder whose entries are each opened without following links
// and checked, whoever owns the folder.
HRESULT RefuseLink(const std::wstring& path);

} // namespace qkFolderTrust
