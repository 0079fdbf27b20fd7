#pragma once
// The index/value collection object (object id {740AB61D-8B4A-46CC-9D82-86F72E055477}).
#include "common/persist/qkTalIndexValueCollection.h"
#include "common/persist/qkTalValueCollectionObject.h"

class qkTalIndexValueCollectionImpl
    : public qkTalValueCollectionObject<qkTalIndexValueCollection, IIndexValueCollection,
                                        CLSID_qkTalIndexValueCollection> {
public:
    // A new empty collection with one reference, or null when out of memory.
    static IIndexValueCollection* Create();
    // The instance factory's creator.
    static IUnknown* STDAPICALLTYPE CreateObject();

    bool STDMETHODCALLTYPE AppendObject(IUnknown* v) override { return qkTalIndexValueCollection::AppendObject(v); }
    bool STDMETHODCALLTYPE AppendVariant(const VARIANT* v) override
    {
        return qkTalIndexValueCollection::AppendVariant(v);
    }
    bool STDMETHODCALLTYPE AppendBinary(const void* d, ULONG n) override
    {
        return qkTalIndexValueCollection::AppendBinary(d, n);
    }
    bool STDMETHODCALLTYPE AppendWString(const wchar_t* v) override
    {
        return qkTalIndexValueCollection::AppendWString(v);
    }
    bool STDMETHODCALLTYPE AppendString(const char* v) override { return qkTalIndexValueCollection::AppendString(v); }
    bool STDMETHODCALLTYPE AppendSystemTime(const SYSTEMTIME* v) override
    {
        return AppendFixed(qkTalValue::eSystemTime, v);
    }
    bool STDMETHODCALLTYPE AppendGuid(const GUID* v) override { return AppendFixed(qkTalValue::eGuid, v); }
    bool STDMETHODCALLTYPE AppendDouble(double v) override { return AppendFixed(qkTalValue::eDouble, &v); }
    bool STDMETHODCALLTYPE AppendUInt64(ULONGLONG v) override { return AppendFixed(qkTalValue::eUInt64, &v); }
    bool STDMETHODCALLTYPE AppendInt64(LONGLONG v) override { return AppendFixed(qkTalValue::eInt64, &v); }
    bool STDMETHODCALLTYPE AppendUInt32(ULONG v) override { return AppendFixed(qkTalValue::eUInt32, &v); }
    bool STDMETHODCALLTYPE AppendInt32(LONG v) override { return AppendFixed(qkTalValue::eInt32, &v); }
    bool STDMETHODCALLTYPE AppendUInt16(USHORT v) override { return AppendFixed(qkTalValue::eUInt16, &v); }
    bool STDMETHODCALLTYPE AppendInt16(SHORT v) override { return AppendFixed(qkTalValue::eInt16, &v); }
    bool STDMETHODCALLTYPE AppendUInt8(BYTE v) override { return AppendFixed(qkTalValue::eUInt8, &v); }
    bool STDMETHODCALLTYPE AppendInt8(signed char v) override { return AppendFixed(qkTalValue::eInt8, &v); }
    bool STDMETHODCALLTYPE AppendBool(bool v) override
    {
        const BYTE b = v ? 1 : 0;
        return AppendFixed(qkTalValue::eBool, &b);
    }

protected:
    IIndexValueCollection* CreateEmpty() override;

private:
    qkTalIndexValueCollectionImpl() = default;
};
