#pragma once
// A registry key that keeps working where earlier installations left keys the launcher may not
// open: when opening fails for lack of access it walks the key path, takes ownership, grants
// access and lets denied keys inherit their parent's permissions again, then opens once more.
#include <windows.h>

#include <string>

#include "common/system/qkRegistry.h"

namespace Tolk {

class CRegistry : public qkRegistry {
public:
    CRegistry() = default;

    // Opens (creating when asked); a key that is simply missing fails at once, any other failure
    // forces the key open and tries once more. FALSE keeps the error in GetLastError.
    BOOL Open(HKEY root, const wchar_t* path, REGSAM access, BOOL createIfMissing = FALSE);
    // A subkey of another key of this kind: its root, its path joined with the subkey.
    BOOL Open(const CRegistry& parent, const wchar_t* subkey, REGSAM access, BOOL createIfMissing = FALSE);
    // The Run key of the root ("Software\Microsoft\Windows\CurrentVersion\Run"), for all access.
    BOOL Create(HKEY root);

    // Opens with the kept access and all access; on access denied grants all access to the
    // current user, Administrators and LocalSystem (taking ownership) and opens again.
    HRESULT EnsureOpen(HKEY root, const wchar_t* path, BOOL createIfMissing);
    // Walks the path part by part until each opens; never fails by itself.
    void ForceOpenKey(HKEY root, const wchar_t* path, BOOL createIfMissing);

    HKEY GetRoot() const { return m_root; }
    const std::wstring& GetPath() const { return m_path; }

private:
    HKEY m_root = nullptr;
    std::wstring m_path;
    REGSAM m_access = 0;
};

} // namespace Tolk
