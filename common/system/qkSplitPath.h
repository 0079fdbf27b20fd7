#pragma once
// Takes one file path apart: drive, folder, file name, extension and their joins; recognises
// the long-path and device prefixes ("\\?\", "\\?\UNC", "\\.\", "\??\") and network paths, and
// on demand the long-name form of the path. Callers read the members directly.
#include <windows.h>
#include <string>

class qkSplitPath {
public:
    qkSplitPath() = default;
    virtual ~qkSplitPath() = default;

    // Empties every member and splits the path; a null or empty path splits the program's path.
    BOOL Split(const wchar_t* path);
    // The module's full file name (null = the program), split.
    BOOL SplitModulePath(HMODULE module);
    // Fills the long members once; a path that does not exist leaves them empty (TRUE).
    BOOL SplitLongPath();
    // The long path, computed on first use; empty when it could not be made.
    const std::wstring& GetLongPath();
    const std::wstring& GetPath() const { return m_path; }
    // From the start index the path holds a server, a separator, a share and maybe more. TRUE
    // when nothing follows the share; otherwise FALSE with the index of the separator behind it.
    BOOL SplitUnc(size_t start, size_t* outIndex);

    // The running program's drive and directory, with a trailing "\".
    static BOOL GetModuleFolder(std::wstring& folder);
    static BOOL GetSystemDirectory(std::wstring& folder);

    std::wstring m_path;
    std::wstring m_drive;
    std::wstring m_directory;
    std::wstring m_driveAndDirectory;
    std::wstring m_fileName;
    std::wstring m_extension;
    std::wstring m_nameAndExtension;
    std::wstring m_longPath;
    std::wstring m_longDirectory;
    std::wstring m_longDriveAndDirectory;
    std::wstring m_longFileName;
    std::wstring m_longExtension;
    std::wstring m_longNameAndExtension;
    std::wstring m_prefix;
    std::wstring m_uncRoot;
    std::wstring m_server;
    std::wstring m_share;

private:
    void Clear();
};
