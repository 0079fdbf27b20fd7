#include "settings/objects/CStoredValue.h"

#include <cstring>
#include <new>

namespace qkSettings {

NtStatus CStoredValue::SetValue(DWORD type, const void* data, DWORD size)
{
    if (size > 0x40000000 || type > storetype::kBinary)
        return status::kInvalidParameter;
    DWORD need = size;
    if (type == storetype::kDword || type == storetype::kQword) {
        need = type == storetype::kDword ? 4 : 8;
        // The fixed width must be there: never read past the caller's buffer.
        if (data == nullptr || size < need)
            return status::kInvalidParameter;
    }
    if (data == nullptr && need != 0)
        return status::kInvalidParameter;
    if (need <= kInline) {
        if (need != 0)
            std::memcpy(m_inline, data, need);
        m_heap.clear();
    } else {
        try {
            m_heap.assign(static_cast<const BYTE*>(data), static_cast<const BYTE*>(data) + need);
        } catch (const std::bad_alloc&) {
            return status::kNoMemory;
        }
    }
    m_size = need;
    m_type = type;
    return status::kSuccess;
}

DWORD CStoredValue::SerializedSize() const
{
    DWORD fixed = (m_type == storetype::kDword || m_type == storetype::kQword) ? 4 : 8;
    return m_name.Length() + Size() + fixed;
}

NtStatus CStoredValue::Serialize(BYTE* buffer, DWORD size, DWORD* written) const
{
    if (m_type > storetype::kBinary)
        return status::kInternalError;
    DWORD need = SerializedSize();
    if (buffer == nullptr || size < need)
        return status::kBufferTooSmall;
    USHORT type16 = static_cast<USHORT>(m_type), length = m_name.Length();
    std::memcpy(buffer, &type16, 2);
    std::memcpy(buffer + 2, &length, 2);
    std::memcpy(buffer + 4, m_name.Text(), length);
    BYTE* at = buffer + 4 + length;
    if (m_type == storetype::kString || m_type == storetype::kBinary) {
        DWORD n = Size();
        std::memcpy(at, &n, 4);
        at += 4;
    }
    if (m_size != 0)
        std::memcpy(at, Data(), m_size);
    if (written != nullptr)
        *written = need;
    return status::kSuccess;
}

NtStatus CStoredValue::Parse(const BYTE* record, DWORD size, DWORD* type, CountedString* name, const BYTE** data,
                             DWORD* dataSize, DWORD* consumed)
{
    if (record == nullptr || size < 8)
        return status::kInvalidParameter;
    USHORT type16, length;
    std::memcpy(&type16, record, 2);
    std::memcpy(&length, record + 2, 2);
    if (type16 > storetype::kBinary || (length & 1) != 0 || length > size - 4)
        return status::kInvalidParameter;
    DWORD at = 4u + length;
    DWORD n;
    if (type16 == storetype::kDword || type16 == storetype::kQword) {
        n = type16 == storetype::kDword ? 4 : 8;
    } else {
        if (size - at < 4)
            return status::kInvalidParameter;
        std::memcpy(&n, record + at, 4);
        at += 4;
    }
    if (n > size - at)
        return status::kInvalidParameter;
    *type = type16;
    name->length = length;
    name->capacity = length;
    name->text = reinterpret_cast<wchar_t*>(const_cast<BYTE*>(record + 4));
    *data = record + at;
    *dataSize = n;
    *consumed = at + n;
    return status::kSuccess;
}

NtStatus CStoredValue::Load(const BYTE* record, DWORD size, DWORD* consumed)
{
    DWORD type, n;
    CountedString name;
    const BYTE* data;
    NtStatus st = Parse(record, size, &type, &name, &data, &n, consumed);
    if (NtSuccess(st))
        st = SetName(name);
    if (NtSuccess(st))
        st = SetValue(type, data, n);
    return st;
}

} // namespace qkSettings
