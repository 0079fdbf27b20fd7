#pragma once
// The stamp file LC.INI under <common application data>\Vallor\{086A63F0-...}: its path and
// folders (administrator-only access lists; reparse points refused), the global mutex that
// serialises every reader and writer of the product family, and reading and writing its four
// sections through the INI document.
#include "engine/mid/QuvStampState.h"

#include <windows.h>

#include <string>

namespace QuvGlobal {

// Waits at most this long for another process to finish with the stamp file.
constexpr DWORD kMutexWaitMs = 30000;

HRESULT Lock(QuvStampState& state);
void Unlock(QuvStampState& state);
HRESULT Read(QuvStampState& state);
HRESULT Write(QuvStampState& state);
void SetMid(QuvStampState& state, const std::wstring& value, const std::wstring& xref);
void SetStamp(QuvStampState& state, const std::wstring& value, const std::wstring& xref);
// Builds the stamp-file path and creates its folders.
HRESULT GetPath(const QuvStampState& state, std::wstring& path);
// Sets the administrator-only access list on the stamp file or its folder.
HRESULT ApplyFolderAcl(const std::wstring& path, bool isFolder);

} // namespace QuvGlobal
