#pragma once
// Expands tokens in percent signs ("%INSTALLDIR%\ucrtbase.dll", "%QKROOT%"): each token is
// looked up in the installation's path-expansion map (below the silo registry path), then in a
// built-in table of folder names; the text is expanded until no token is left.
#include <windows.h>
#include <string>

class qkPathExpansion {
public:
    using TokenResolver = BOOL (*)(const wchar_t* name, std::wstring& value);

    // TRUE when every token was expanded; on failure out holds the unexpanded text.
    static BOOL ExpandPath(const wchar_t* text, std::wstring& out);
    // Opens the map key once per process.
    static BOOL LoadPathExpansionMap();
    // The resolver slot: set while a path hook is attached, null otherwise.
    static void SetTokenResolver(TokenResolver resolver);
    // The id of a built-in folder name (case-insensitive), or 0xFFFFFFFF.
    static DWORD FindBuiltInToken(const wchar_t* name);
    static BOOL ResolveBuiltInToken(const wchar_t* name, std::wstring& out);
    // CSIDL_COMMON_APPDATA or CSIDL_LOCAL_APPDATA + extension + silo id.
    static BOOL GetSiloDataFolder(int csidl, std::wstring& out);
};

namespace qkLib {

// "%QKROOT%" expanded into the caller's buffer (size in bytes, set to the bytes needed).
BOOL GetRootPath(wchar_t* buffer, DWORD* sizeBytes);

} // namespace qkLib
