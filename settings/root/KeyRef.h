#pragma once
// A key's reference: {u64 node record id, u64 values record id (0 when the key has none),
// u32 key flags}. Stored as the 20-byte descriptor of the key's entry in its parent's node,
// and carried by a decoded node in its owner words. A record that a pending change has not
// written yet goes by a provisional id, which is never a block offset of the file.
#include <windows.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "settings/blob/CNameValueBlob.h"

namespace qkSettings {

struct KeyRef {
    ULONGLONG node = 0;
    ULONGLONG values = 0;
    DWORD flags = 0;
};

using Node = std::shared_ptr<CNameValueBlob>;
// Told the id of a record once it is written: the places that name the record.
using RecordIdHolder = std::function<void(ULONGLONG)>;

constexpr DWORD kDescriptorNodeAt = 0;
constexpr DWORD kDescriptorValuesAt = 8;
constexpr ULONGLONG kProvisionalId = 0x8000000000000000ull;

inline bool IsProvisional(ULONGLONG id)
{
    return (id & kProvisionalId) != 0;
}

inline KeyRef RefOf(const BYTE* descriptor)
{
    KeyRef r;
    std::memcpy(&r.node, descriptor + kDescriptorNodeAt, 8);
    std::memcpy(&r.values, descriptor + kDescriptorValuesAt, 8);
    std::memcpy(&r.flags, descriptor + 16, 4);
    return r;
}

// A 24-byte entry record of a node: the descriptor, then the name length and bucket that the
// node fills in itself.
inline void PutRef(const KeyRef& ref, BYTE* record24)
{
    std::memset(record24, 0, CNameValueBlob::kRecordSize);
    std::memcpy(record24 + kDescriptorNodeAt, &ref.node, 8);
    std::memcpy(record24 + kDescriptorValuesAt, &ref.values, 8);
    std::memcpy(record24 + 16, &ref.flags, 4);
}

inline void SetNodeRef(CNameValueBlob& node, const KeyRef& ref)
{
    DWORD* w = node.OwnerWords();
    w[0] = static_cast<DWORD>(ref.node);
    w[1] = static_cast<DWORD>(ref.node >> 32);
    w[2] = static_cast<DWORD>(ref.values);
    w[3] = static_cast<DWORD>(ref.values >> 32);
    w[4] = ref.flags;
}

inline KeyRef NodeRef(const CNameValueBlob& node)
{
    const DWORD* w = node.OwnerWords();
    return KeyRef{w[0] | (static_cast<ULONGLONG>(w[1]) << 32), w[2] | (static_cast<ULONGLONG>(w[3]) << 32), w[4]};
}

// A holder that writes a record id into the descriptor of the entry `name` of `parent` (at
// kDescriptorNodeAt or kDescriptorValuesAt).
inline RecordIdHolder EntryHolder(Node parent, const CountedString& name, DWORD at)
{
    std::wstring copy(name.text, name.length / 2);
    return [parent = std::move(parent), copy = std::move(copy), at](ULONGLONG id) {
        CountedString n{static_cast<USHORT>(copy.size() * 2), static_cast<USHORT>(copy.size() * 2),
                        const_cast<wchar_t*>(copy.data())};
        BYTE* record = nullptr;
        if (NtSuccess(parent->FindValue(n, &record)))
            std::memcpy(record + at, &id, 8);
    };
}

} // namespace qkSettings
