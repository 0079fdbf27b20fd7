#pragma once
// Entries opened as themselves, never through a link: a folder pinned by its handle, and the
// entries in it opened relative to that handle, so that no rename or link planted on the way
// can turn the name into another file. Deleting such an entry goes through its own handle.
#include "common/system/qkHandle.h"

#include <windows.h>

#include <string>

namespace qkNoFollow {

// Dispositions of an open relative to a folder.
constexpr ULONG kOpenExisting = 1; // FILE_OPEN
constexpr ULONG kCreateNew = 2;    // FILE_CREATE
constexpr ULONG kOpenAlways = 3;   // FILE_OPEN_IF
// Option of an open relative to a folder: the entry goes when this handle closes.
constexpr ULONG kDeleteOnClose = 0x00001000; // FILE_DELETE_ON_CLOSE

// Creates the folder when `create` and it is missing, then opens the folder itself (a link is
// opened as the link) with the access given, sharing reading and writing but not deletion: while
// the handle is open the folder keeps its name. A Win32 error code, ERROR_SUCCESS when opened.
DWORD OpenFolder(const std::wstring& path, bool create, DWORD access, qkHandle& folder);

// Opens the file `name` in an open folder, relative to its handle and without following a link,
// for synchronous use; `security` describes a file it makes. A Win32 error code.
DWORD OpenIn(HANDLE folder, const std::wstring& name, DWORD access, DWORD share, ULONG disposition, qkHandle& file,
             ULONG options = 0, PSECURITY_DESCRIPTOR security = nullptr);

// Whether two handles hold the same file.
bool SameEntry(HANDLE first, HANDLE second);

// Whether the handle holds the entry itself, not what a link leads to: a handle whose path shows
// a link while the handle shows none was opened on the target (Wine does).
bool HoldsEntryItself(HANDLE entry, const std::wstring& path);

// Whether the entry is a link: by its handle, or by its path where the handle holds the target.
bool IsLink(HANDLE entry, const std::wstring& path);

// Marks the entry open on the handle (opened with DELETE) for deletion when its last handle
// closes. Only for a handle that holds the entry itself.
bool DeleteOnClose(HANDLE entry);

} // namespace qkNoFollow
