#pragma once
// The key/value container: one value per unsigned 32-bit key, in ascending key order.
// Saved form after the shared part: version (tag 6, 1), the count (tag 3), then for each entry
// in ascending key order its key (tag 3) and its value.
#include <map>

#include "common/persist/qkTalValueCollection.h"

class qkTalKeyValueCollection : public qkTalValueCollection {
public:
    static constexpr LONG kVersion = 1;

    bool FindValue(ULONG key, qkTalValue** value, bool quiet) override;
    bool PrepareValue(ULONG key, qkTalValue** value) override;
    ULONG GetEntryCount() override;
    bool RemoveEntry(ULONG key) override;
    bool ClearEntries() override;
    bool GetKeyAt(ULONG position, ULONG* key);

    bool Save(qkLib::CArchive& archive) override;
    bool Load(qkLib::CArchive& archive) override;

    // Copies the switches and every entry of the other collection, under this one's lock only.
    bool CopyFrom(const qkTalKeyValueCollection& other);
    // Replaces the entries with copies of every value of another key/value collection, read
    // through its interface; a failure leaves this collection empty.
    bool CopyFromInterface(IKeyValueCollection* source);

protected:
    void AssignEntries(const qkTalValueCollection& other) override;

private:
    std::map<ULONG, qkTalValue> m_entries;
};
