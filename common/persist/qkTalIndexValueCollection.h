#pragma once
// The index/value container: a sequence of values at positions 0 to count - 1, grown only at the
// end. Saved form after the shared part: version (tag 6, 1), the count (tag 3), then for each
// value its index (tag 3) and the value. A loader accepts the indices in any order; a position
// whose index never comes stays empty.
#include <deque>

#include "common/persist/qkTalValueCollection.h"

class qkTalIndexValueCollection : public qkTalValueCollection {
public:
    static constexpr LONG kVersion = 1;

    bool FindValue(ULONG index, qkTalValue** value, bool quiet) override;
    // Only an existing position: the setters do not grow the sequence.
    bool PrepareValue(ULONG index, qkTalValue** value) override;
    ULONG GetEntryCount() override;
    bool RemoveEntry(ULONG index) override;
    bool ClearEntries() override;
    // Appends an empty value of the kind at the end (lock held by the caller).
    bool AppendValue(ULONG kind, qkTalValue** value);

    bool AppendFixed(ULONG kind, const void* data);
    bool AppendString(const char* text);
    bool AppendWString(const wchar_t* text);
    bool AppendBinary(const void* data, ULONG size);
    bool AppendVariant(const VARIANT* value);
    bool AppendObject(IUnknown* object);

    bool Save(qkLib::CArchive& archive) override;
    bool Load(qkLib::CArchive& archive) override;

    // Copies the switches and every entry of the other collection, under this one's lock only.
    bool CopyFrom(const qkTalIndexValueCollection& other);
    // Replaces the values with copies of every value of another index/value collection, read
    // through its interface (empty positions stay empty); a failure leaves this one empty.
    bool CopyFromInterface(IIndexValueCollection* source);

protected:
    void AssignEntries(const qkTalValueCollection& other) override;

private:
    std::deque<qkTalValue> m_values;
};
