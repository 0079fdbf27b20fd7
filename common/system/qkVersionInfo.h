#pragma once
// Reads a file's version resource: the fixed version record and the twelve standard strings.
#include <windows.h>
#include <string>

class qkVersionInfo {
public:
    // One version string: its standard name and the file's value (empty when missing).
    class StringEntry {
    public:
        virtual ~StringEntry() = default;
        const wchar_t* name = nullptr;
        std::wstring value;
    };
    static constexpr int kStringCount = 12;

    qkVersionInfo();
    virtual ~qkVersionInfo() = default;

    // An empty path reads the running program's own file. FALSE without a version record or
    // a translation table.
    BOOL Load(const wchar_t* path);
    static BOOL QueryString(WORD language, WORD codePage, const wchar_t* name, const void* versionData,
                            std::wstring& value);
    // The value of a standard string by name (null for an unknown name).
    const std::wstring* Find(const wchar_t* name) const;

    VS_FIXEDFILEINFO m_fixedInfo;
    StringEntry m_strings[kStringCount];

private:
    void Clear();
};
