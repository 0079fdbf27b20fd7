#pragma once
// Reads the library root folder ("%QKROOT%", where the trust DLL and the settings DLL lie) the way
// its loaders do: a first read into a buffer of 271 characters offered as 522 bytes, and one
// more read into a buffer of the size asked for when the root is longer.
#include <string>
#include <windows.h>

namespace qkLib {

// root receives the folder with a backslash at its end. QK_E_LOADFAILED when the root cannot be
// read, QK_E_FAIL when the second read fails too, QK_E_OUTOFMEMORY when a buffer cannot be made.
HRESULT ReadLibraryRoot(std::wstring& root);

} // namespace qkLib
