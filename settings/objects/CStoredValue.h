#pragma once
// One named, typed value and its record form inside values records and change lists:
// u16 store type (0 u32, 1 u64, 2 UTF-16 text, 3 binary), u16 name length in bytes, the name,
// then the value: 4 bytes (type 0), 8 bytes (type 1), or u32 byte length and the bytes.
#include <windows.h>

#include <vector>

#include "settings/store/CStringBuffer.h"
#include "settings/store/qkSettingsResult.h"

namespace qkSettings {

namespace storetype {
constexpr DWORD kDword = 0;
constexpr DWORD kQword = 1;
constexpr DWORD kString = 2;
constexpr DWORD kBinary = 3;
} // namespace storetype

class CStoredValue {
public:
    // Types 0 and 1 take 4 and 8 bytes and require that many (the caller's size must say so).
    NtStatus SetValue(DWORD type, const void* data, DWORD size);
    NtStatus SetName(const CountedString& name) { return m_name.Assign(name); }

    DWORD SerializedSize() const;
    NtStatus Serialize(BYTE* buffer, DWORD size, DWORD* written) const;

    // Parses one record; name and data point into the record.
    static NtStatus Parse(const BYTE* record, DWORD size, DWORD* type, CountedString* name, const BYTE** data,
                          DWORD* dataSize, DWORD* consumed);
    NtStatus Load(const BYTE* record, DWORD size, DWORD* consumed);

    const CountedString& Name() const { return m_name.Get(); }
    DWORD Type() const { return m_type; }
    DWORD Size() const { return m_size; }
    const BYTE* Data() const { return m_size <= kInline ? m_inline : m_heap.data(); }

private:
    // Numbers and short values live inline: a section loads without one allocation per value.
    static constexpr DWORD kInline = 8;

    CStringBuffer m_name;
    DWORD m_type = 0;
    DWORD m_size = 0;
    BYTE m_inline[kInline] = {};
    std::vector<BYTE> m_heap; // values longer than kInline
};

} // namespace qkSettings
