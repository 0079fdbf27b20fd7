#pragma once
// Whether a folder is safe for a process with full rights to put programs in or delete from:
// a folder that another user owns, or a link (junction, symbolic link) that another user could
// have planted, would let that user swap files under the process or redirect what it deletes.
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

// Why a process with full rights must not use a folder or a file in it, as an HRESULT: S_OK;
// HRESULT_FROM_WIN32(4395, ERROR_REPARSE_POINT_ENCOUNTERED) when it or a parent is a link;
// E_ACCESSDENIED when it exists and its owner is not trusted (HasTrustedOwner). The refusal is
// logged as "<path> is or lies under a link, not using it" or "<path> is owned by another
// account, not using it".
HRESULT Refuse(const std::wstring& path);
// The same for a file opened without following links: a link, a file with other names (hard
// links), or an untrusted owner is refused.
HRESULT RefuseOpened(HANDLE file, const std::wstring& path);

} // namespace qkFolderTrust
