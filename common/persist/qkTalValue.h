#pragma once
// The tagged value that the value collections store: nothing, or one value of seventeen kinds.
// The value owns its payload, copies itself deeply, converts itself in place under a fixed table
// (only widening conversions, sign changes of one width that keep the bits, tests for true, and
// text between ANSI and UTF-16), and saves itself as typed archive records: its kind as a tag-1
// byte, then the payload under the kind's tag (an object as its class id in a 16-byte tag-9
// record, then its own data in a second tag-9 record). No operation throws.
#include <windows.h>
#include <oaidl.h>

#include <string>

#include "common/base/qkMemory.h"
#include "common/persist/CArchive.h"

// Makes the objects that a loaded value of kind eObject refers to (the owning collection).
class qkTalObjectCreator {
public:
    virtual bool CreateObject(const GUID& objectId, IUnknown** object) = 0;

protected:
    ~qkTalObjectCreator() = default;
};

class qkTalValue {
public:
    enum EType : BYTE {
        eEmpty = 0,
        eBool,
        eInt8,
        eUInt8,
        eInt16,
        eUInt16,
        eInt32,
        eUInt32,
        eInt64,
        eUInt64,
        eDouble,
        eGuid,
        eSystemTime,
        eString,
        eWString,
        eBinary,
        eVariant,
        eObject,
    };
    static constexpr ULONG kLastType = eObject;

    qkTalValue() = default;
    qkTalValue(const qkTalValue& other);
    qkTalValue& operator=(const qkTalValue& other);
    ~qkTalValue();

    // Frees the payload; the kind becomes eEmpty.
    void Clear();
    // A fresh default payload of the kind (zero, empty text, empty block, VT_EMPTY, no object).
    bool SetType(ULONG kind);
    // Deep copy; an object is shared (one more reference) or cloned through ICloneable.
    bool Copy(const qkTalValue& source, bool cloneObjects);
    // Converts in place, or with testOnly only answers whether the table allows it.
    bool ChangeType(ULONG kind, bool testOnly);
    bool ChangeType(ULONG kind) { return ChangeType(kind, false); }
    bool CanChangeType(ULONG kind) { return ChangeType(kind, true); }
    // Payload bytes: 1 to 16 for the fixed kinds, text with its terminator, the block's size,
    // the encoded variant record, the object's saved size.
    ULONG GetSize() const;
    bool Save(qkLib::CArchive& archive) const;
    bool Load(qkTalObjectCreator* creator, qkLib::CArchive& archive);

    // Stores source into *destination (releasing what it held): shared, or cloned.
    static bool CopyObject(IUnknown* source, IUnknown** destination, bool clone);

    EType GetType() const { return m_kind; }
    // The payload of the fixed kinds 1 to 12 (1 to 16 bytes), null for the others.
    void* GetData();
    const void* GetData() const { return const_cast<qkTalValue*>(this)->GetData(); }
    std::string* GetString() { return m_kind == eString ? m_payload.narrow : nullptr; }
    std::wstring* GetWString() { return m_kind == eWString ? m_payload.wide : nullptr; }
    qkMemory* GetBinary() { return m_kind == eBinary ? m_payload.block : nullptr; }
    VARIANT* GetVariant() { return m_kind == eVariant ? m_payload.variant : nullptr; }
    // The object holder of an eObject value (its reference may be null), else null.
    IUnknown** GetObjectHolder() { return m_kind == eObject ? &m_payload.object : nullptr; }

    // The archive tag and data size of the fixed kinds 1 to 12; 0 for the others.
    static BYTE TagOf(ULONG kind);
    static ULONG FixedSizeOf(ULONG kind);

private:
    bool ConvertNumber(ULONG kind);
    bool ConvertText(ULONG kind);

    union Payload {
        BYTE raw[16];
        std::string* narrow;
        std::wstring* wide;
        qkMemory* block;
        VARIANT* variant;
        IUnknown* object;
    } m_payload = {};
    EType m_kind = eEmpty;
};
