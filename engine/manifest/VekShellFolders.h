#pragma once
// The shell folder lookups that the folder tokens of the run location need, behind a small
// interface so that tests can make each lookup fail. CShellFolders calls the shell itself.
#include <windows.h>
#include <shlobj.h>

#include <string>

namespace vek {

class IShellFolders {
public:
    virtual ~IShellFolders() = default;
    virtual bool IsVistaOrLater() = 0;
    // SHGetKnownFolderPath with the flags; S_OK with the path or the shell's failure.
    virtual HRESULT GetKnownFolderPath(REFKNOWNFOLDERID id, DWORD flags, std::wstring& path) = 0;
    // SHGetFolderPathW of the folder with CSIDL_FLAG_CREATE; S_OK with the path or the failure.
    virtual HRESULT GetFolderPath(int csidl, std::wstring& path) = 0;
};

class CShellFolders : public IShellFolders {
public:
    bool IsVistaOrLater() override;
    HRESULT GetKnownFolderPath(REFKNOWNFOLDERID id, DWORD flags, std::wstring& path) override;
    HRESULT GetFolderPath(int csidl, std::wstring& path) override;
};

} // namespace vek
