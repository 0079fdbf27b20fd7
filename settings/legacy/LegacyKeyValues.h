#pragma once
// The values of one key of an older settings file, by name (only A-Z fold to lower case when
// names are compared). Each value has a state: 0 unchanged since loaded, 1 new, 2 changed,
// 3 deleted; and a type: 0 UTF-16 string with its terminator, 1 u32, 2 binary.
//
// Full form (a key's record), in the library's typed archive: u32 version 1, u32 longest name,
// u32 largest data, u32 count of live values, then per value: name (wide string), u32 type,
// data (wide string, u32 or bytes). The change list has the same header, counts the values
// whose state is not 0, and carries a u32 state after each type (no data for state 3).
#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace qkSettings {

// Only A-Z fold to lower case.
struct LegacyNameLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const;
};

class LegacyKeyValues {
public:
    enum State : DWORD { kUnchanged = 0, kNew = 1, kChanged = 2, kDeleted = 3 };
    enum Type : DWORD { kString = 0, kDword = 1, kBinary = 2 };

    struct Value {
        DWORD state = kNew;
        DWORD type = kBinary;
        std::vector<BYTE> data;
    };

    // Result codes: 0x10000, 0x80010203 (null or empty name), 0x80010201.
    DWORD Set(const wchar_t* name, DWORD type, const void* data, DWORD length);
    // The value (also a deleted one), or null.
    const Value* Find(const wchar_t* name) const;
    void Delete(const wchar_t* name);
    void DeleteAll();
    void Clear();
    void SetLoading(bool on) { m_loading = on; }
    // After a successful save: deleted values go, the others are unchanged again.
    void MarkSaved();

    DWORD LongestName() const { return m_longestName; }
    DWORD LargestData() const { return m_largestData; }
    const std::map<std::wstring, Value, LegacyNameLess>& Values() const;

    // 0x10000, or 0x80000202 when the archive cannot be written.
    DWORD WriteFull(std::vector<BYTE>& out) const;
    DWORD WriteChanges(std::vector<BYTE>& out) const;
    // 0x80000204 for another version, 0x80000202 for a damaged form.
    DWORD ReadFull(const BYTE* data, DWORD size);
    DWORD ApplyChanges(const BYTE* data, DWORD size);

private:
    DWORD Write(std::vector<BYTE>& out, bool changes) const;
    DWORD Read(const BYTE* data, DWORD size, bool changes);

    std::map<std::wstring, Value, LegacyNameLess> m_values;
    DWORD m_longestName = 0;
    DWORD m_largestData = 0;
    bool m_loading = false;
};

} // namespace qkSettings
