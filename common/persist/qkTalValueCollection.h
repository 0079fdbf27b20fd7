#pragma once
// What the two value collections share: the typed getters and setters over qkTalValue entries
// (conversion on read, sharing or cloning of objects), the two switches, the shared part of the
// saved form, and the creation of objects for loaded object values. The containers supply
// how entries are stored (FindValue, PrepareValue, count, removal) and their own saved part.
//
// Saved form, shared part: version (tag 6: 1, or 2 with size caching on), the convert switch and
// the clone switch (tag 10 each), and for version 2 the size-caching switch (tag 10) and the
// cached saved size (tag 4).
#include <windows.h>

#include "common/persist/IValueCollection.h"
#include "common/persist/qkTalPersistBase.h"
#include "common/persist/qkTalValue.h"

class qkTalValueCollection : public qkTalPersistBase, public qkTalObjectCreator {
public:
    static constexpr LONG kMaxVersion = 2;

    qkTalValueCollection() = default;
    // Copies the switches, the changed flag and the cached size (not the size-caching switch).
    void AssignBase(const qkTalValueCollection& other);

    // The container's part.
    // Points at the stored value of a key; a miss is traced unless quiet.
    virtual bool FindValue(ULONG key, qkTalValue** value, bool quiet) = 0;
    // Finds or inserts the key, empties its value and marks the collection changed.
    virtual bool PrepareValue(ULONG key, qkTalValue** value) = 0;
    virtual ULONG GetEntryCount() = 0;
    virtual bool RemoveEntry(ULONG key) = 0;
    virtual bool ClearEntries() = 0;

    bool Save(qkLib::CArchive& archive) override;
    bool Load(qkLib::CArchive& archive) override;
    // Asks the process-wide instance factory for the object.
    bool CreateObject(const GUID& objectId, IUnknown** object) override;

    bool Exists(ULONG key);
    ULONG GetValueSize(ULONG key);
    ULONG GetValueType(ULONG key);
    bool GetConvertTypes();
    bool SetConvertTypes(bool on);
    bool GetCloneObjects();
    bool SetCloneObjects(bool on);

    bool GetObject(ULONG key, IUnknown** object);
    bool GetVariant(ULONG key, VARIANT* value);
    bool GetBinaryEx(ULONG key, void* buffer, ULONG bufferSize, ULONG* size);
    bool GetWStringEx(ULONG key, wchar_t* buffer, ULONG byteSize, ULONG* size);
    bool GetStringEx(ULONG key, char* buffer, ULONG chars, ULONG* size);
    bool GetSystemTime(ULONG key, SYSTEMTIME* value) { return GetScalar(key, qkTalValue::eSystemTime, value); }
    bool GetGuid(ULONG key, GUID* value) { return GetScalar(key, qkTalValue::eGuid, value); }
    bool GetDouble(ULONG key, double* value) { return GetScalar(key, qkTalValue::eDouble, value); }
    bool GetUInt64(ULONG key, ULONGLONG* value) { return GetScalar(key, qkTalValue::eUInt64, value); }
    bool GetInt64(ULONG key, LONGLONG* value) { return GetScalar(key, qkTalValue::eInt64, value); }
    bool GetUInt32(ULONG key, ULONG* value) { return GetScalar(key, qkTalValue::eUInt32, value); }
    bool GetInt32(ULONG key, LONG* value) { return GetScalar(key, qkTalValue::eInt32, value); }
    bool GetUInt16(ULONG key, USHORT* value) { return GetScalar(key, qkTalValue::eUInt16, value); }
    bool GetInt16(ULONG key, SHORT* value) { return GetScalar(key, qkTalValue::eInt16, value); }
    bool GetUInt8(ULONG key, BYTE* value) { return GetScalar(key, qkTalValue::eUInt8, value); }
    bool GetInt8(ULONG key, signed char* value) { return GetScalar(key, qkTalValue::eInt8, value); }
    bool GetBool(ULONG key, bool* value);

    bool SetObject(ULONG key, IUnknown* object);
    bool SetVariant(ULONG key, const VARIANT* value);
    bool SetBinary(ULONG key, const void* data, ULONG size);
    bool SetWString(ULONG key, const wchar_t* text);
    bool SetString(ULONG key, const char* text);
    bool SetSystemTime(ULONG key, const SYSTEMTIME* value)
    {
        return value && SetScalar(key, qkTalValue::eSystemTime, value);
    }
    bool SetGuid(ULONG key, const GUID* value) { return value && SetScalar(key, qkTalValue::eGuid, value); }
    bool SetDouble(ULONG key, double value) { return SetScalar(key, qkTalValue::eDouble, &value); }
    bool SetUInt64(ULONG key, ULONGLONG value) { return SetScalar(key, qkTalValue::eUInt64, &value); }
    bool SetInt64(ULONG key, LONGLONG value) { return SetScalar(key, qkTalValue::eInt64, &value); }
    bool SetUInt32(ULONG key, ULONG value) { return SetScalar(key, qkTalValue::eUInt32, &value); }
    bool SetInt32(ULONG key, LONG value) { return SetScalar(key, qkTalValue::eInt32, &value); }
    bool SetUInt16(ULONG key, USHORT value) { return SetScalar(key, qkTalValue::eUInt16, &value); }
    bool SetInt16(ULONG key, SHORT value) { return SetScalar(key, qkTalValue::eInt16, &value); }
    bool SetUInt8(ULONG key, BYTE value) { return SetScalar(key, qkTalValue::eUInt8, &value); }
    bool SetInt8(ULONG key, signed char value) { return SetScalar(key, qkTalValue::eInt8, &value); }
    bool SetBool(ULONG key, bool value);

    // The stored value of the kind, or a converted copy in the scratch value (lock held).
    bool GetValue(ULONG key, ULONG kind, qkTalValue** value);
    // The key's value, emptied and given a fresh default of the kind (lock held).
    bool SetValue(ULONG key, ULONG kind, qkTalValue** value);
    // Reads one value of a known kind from another collection through its interface. An empty
    // value (kind eEmpty, or an empty block) is copied as it is.
    bool CopyValueFrom(IValueCollection* source, ULONG key, ULONG kind, qkTalValue& out);
    // Stores the argument of a typed setter or append into a value of its kind.
    static bool StoreFixed(qkTalValue& value, const void* data);
    bool StoreObject(qkTalValue& value, IUnknown* object);

protected:
    // Copies the switches and the entries of another collection of the same container class
    // under this collection's lock. A clone takes the other's lock as well, since other threads
    // may change the collection it copies; CopyFrom locks only this one. A failure leaves the
    // entries as they were.
    bool CopyCollection(const qkTalValueCollection& other, bool lockOther);
    // The container's copy of the other's entries, all or nothing (the locks held); may throw
    // std::bad_alloc.
    virtual void AssignEntries(const qkTalValueCollection& other) = 0;
    // The frame of a container's saved form (lock held): the shared part, then the container's
    // version (tag 6) and its entry count (tag 3); its entries follow, each a key and a value.
    bool SaveFrame(qkLib::CArchive& archive, LONG version, ULONG count);
    // Reads the frame; refuses another version, and a count beyond what the archive holds beyond
    // the input already promised to other values. On success the archive holds a promise of
    // kLeastEntryBytes for each entry, which the caller redeems entry by entry as it reads them
    // (LoadEntries), so that neither a crafted count nor the entries' own data can count on the
    // same input twice. The version read is given back for the caller's trace.
    bool LoadFrame(qkLib::CArchive& archive, LONG expectedVersion, LONG* version, ULONG* count);
    // Reads the count entries that LoadFrame promised, each a key record and a value; the promise
    // of every entry not read is taken back when one fails.
    bool LoadEntries(qkLib::CArchive& archive, ULONG count);
    // The least input of one entry: its key record and its value's kind record.
    static constexpr ULONG kLeastEntryBytes = 7;

    bool m_convert = true;
    bool m_cloneObjects = false;

private:
    bool GetScalar(ULONG key, ULONG kind, void* out);
    bool SetScalar(ULONG key, ULONG kind, const void* data);

    qkTalValue m_scratch;
};
