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

} // namespace qkFolderTrust
