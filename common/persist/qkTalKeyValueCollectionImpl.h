#pragma once
// The key/value collection object (object id {9958D891-C319-4C6C-BEB9-F9BFB37EA493}).
#include "common/persist/qkTalKeyValueCollection.h"
#include "common/persist/qkTalValueCollectionObject.h"

class qkTalKeyValueCollectionImpl
    : public qkTalValueCollectionObject<qkTalKeyValueCollection, IKeyValueCollection, CLSID_qkTalKeyValueCollection> {
public:
    // A new empty collection with one reference, or null when out of memory.
    static IKeyValueCollection* Create();
    // The instance factory's creator.
    static IUnknown* STDAPICALLTYPE CreateObject();

    bool STDMETHODCALLTYPE GetKeyAt(ULONG position, ULONG* key) override
    {
        return qkTalKeyValueCollection::GetKeyAt(position, key);
    }

protected:
    IKeyValueCollection* CreateEmpty() override;

private:
    qkTalKeyValueCollectionImpl() = default;
};
