#pragma once
// The isolation silo: the process-wide silo id, the silo registry path (root + "\" + id) and the
// registry view flag. Set once per process by the first successful caller, or read from
// "isolate.ini" in the running module's folder or one of its parents.
#include <windows.h>
#include <string>

class CIsolation {
public:
    // Sets the silo once per process. With null the id comes from "isolate.ini".
    static BOOL SetSiloID(const wchar_t* siloId);
    // Replaces the root part of the silo registry path once per process; null takes the root
    // from "isolate.ini" (or the default root).
    static BOOL SetSiloRegistryRoot(const wchar_t* root);

    // The getters set the silo from "isolate.ini" first when nobody set it; null or 0 when that
    // fails. Returned texts stay valid for the life of the process.
    static const wchar_t* GetSiloRegistryPath();
    static const wchar_t* GetSiloID();
    static DWORD GetRegistryViewFlags();

    // File and registry work, also used by the other system classes and by tests.
    static constexpr DWORD kIniPathChars = MAX_PATH;
    static constexpr DWORD kRootChars = 100;

    // Searches "isolate.ini" from the running module's folder up to the drive or share root. With
    // full rights a file that other accounts may write, or that lies in a folder they may write,
    // is passed over.
    static DWORD FindIsolateIni(wchar_t* outPath);
    // The same search, starting from the folder of the given file path.
    static DWORD FindIsolateIniFrom(const wchar_t* filePath, wchar_t* outPath);
    // Reads a key of section "isolation"; returns the number of characters stored. A result of
    // size - 1 means that the value filled the buffer.
    static DWORD ReadIniValue(const wchar_t* key, const wchar_t* defaultValue, wchar_t* out, DWORD outChars,
                              const wchar_t* filePath);
    static DWORD ReadNative64(DWORD* viewFlag, const wchar_t* filePath);
    static DWORD GetSiloRegistryRoot(wchar_t* out, const wchar_t* filePath);
    static bool IsGuidText(const wchar_t* text);

    // Looks a key up in the text of an ini file (section "isolation"); false when not found.
    static bool LookupIniKey(const std::wstring& text, const wchar_t* key, std::wstring& value);
};
