#pragma once
// The shareable object around a value collection container: the reference count, the public
// interface (IValueCollection and the container's own operations after it), the persistence
// interface with size caching, and the copy interface. Every interface operation forwards to
// the container and the shared collection code.
#include <wrl/client.h>

#include "common/base/qkTrace.h"
#include "common/objects/qkTalCountedObject.h"
#include "common/objects/qkTalResult.h"
#include "common/persist/ICloneable.h"
#include "common/persist/ISerializable.h"
#include "common/persist/IValueCollection.h"

template <class Container, class Itf, const GUID& ClassId>
class qkTalValueCollectionObject : public qkTalCountedObject,
                                   public Itf,
                                   public ISizeCachingSerializable,
                                   public ICloneable,
                                   public Container {
public:
    QK_TAL_UNKNOWN_IMPL()

    ULONG STDMETHODCALLTYPE GetCount() override { return Container::GetEntryCount(); }
    bool STDMETHODCALLTYPE Exists(ULONG key) override { return Container::Exists(key); }
    ULONG STDMETHODCALLTYPE GetValueSize(ULONG key) override { return Container::GetValueSize(key); }
    ULONG STDMETHODCALLTYPE GetValueType(ULONG key) override { return Container::GetValueType(key); }
    bool STDMETHODCALLTYPE Remove(ULONG key) override { return Container::RemoveEntry(key); }
    bool STDMETHODCALLTYPE Clear() override { return Container::ClearEntries(); }
    bool STDMETHODCALLTYPE GetConvertTypes() override { return Container::GetConvertTypes(); }
    bool STDMETHODCALLTYPE SetConvertTypes(bool on) override { return Container::SetConvertTypes(on); }
    bool STDMETHODCALLTYPE GetCloneObjects() override { return Container::GetCloneObjects(); }
    bool STDMETHODCALLTYPE SetCloneObjects(bool on) override { return Container::SetCloneObjects(on); }

    bool STDMETHODCALLTYPE GetObject(ULONG k, IUnknown** v) override { return Container::GetObject(k, v); }
    bool STDMETHODCALLTYPE GetVariant(ULONG k, VARIANT* v) override { return Container::GetVariant(k, v); }
    bool STDMETHODCALLTYPE GetBinaryEx(ULONG k, void* b, ULONG n, ULONG* s) override
    {
        return Container::GetBinaryEx(k, b, n, s);
    }
    bool STDMETHODCALLTYPE GetBinary(ULONG k, void* b, ULONG n) override
    {
        return Container::GetBinaryEx(k, b, n, nullptr);
    }
    bool STDMETHODCALLTYPE GetWStringEx(ULONG k, wchar_t* b, ULONG n, ULONG* s) override
    {
        return Container::GetWStringEx(k, b, n, s);
    }
    bool STDMETHODCALLTYPE GetWString(ULONG k, wchar_t* b, ULONG n) override
    {
        return Container::GetWStringEx(k, b, n, nullptr);
    }
    bool STDMETHODCALLTYPE GetStringEx(ULONG k, char* b, ULONG n, ULONG* s) override
    {
        return Container::GetStringEx(k, b, n, s);
    }
    bool STDMETHODCALLTYPE GetString(ULONG k, char* b, ULONG n) override
    {
        return Container::GetStringEx(k, b, n, nullptr);
    }
    bool STDMETHODCALLTYPE GetSystemTime(ULONG k, SYSTEMTIME* v) override { return Container::GetSystemTime(k, v); }
    bool STDMETHODCALLTYPE GetGuid(ULONG k, GUID* v) override { return Container::GetGuid(k, v); }
    bool STDMETHODCALLTYPE GetDouble(ULONG k, double* v) override { return Container::GetDouble(k, v); }
    bool STDMETHODCALLTYPE GetUInt64(ULONG k, ULONGLONG* v) override { return Container::GetUInt64(k, v); }
    bool STDMETHODCALLTYPE GetInt64(ULONG k, LONGLONG* v) override { return Container::GetInt64(k, v); }
    bool STDMETHODCALLTYPE GetUInt32(ULONG k, ULONG* v) override { return Container::GetUInt32(k, v); }
    bool STDMETHODCALLTYPE GetInt32(ULONG k, LONG* v) override { return Container::GetInt32(k, v); }
    bool STDMETHODCALLTYPE GetUInt16(ULONG k, USHORT* v) override { return Container::GetUInt16(k, v); }
    bool STDMETHODCALLTYPE GetInt16(ULONG k, SHORT* v) override { return Container::GetInt16(k, v); }
    bool STDMETHODCALLTYPE GetUInt8(ULONG k, BYTE* v) override { return Container::GetUInt8(k, v); }
    bool STDMETHODCALLTYPE GetInt8(ULONG k, signed char* v) override { return Container::GetInt8(k, v); }
    bool STDMETHODCALLTYPE GetBool(ULONG k, bool* v) override { return Container::GetBool(k, v); }

    bool STDMETHODCALLTYPE SetObject(ULONG k, IUnknown* v) override { return Container::SetObject(k, v); }
    bool STDMETHODCALLTYPE SetVariant(ULONG k, const VARIANT* v) override { return Container::SetVariant(k, v); }
    bool STDMETHODCALLTYPE SetBinary(ULONG k, const void* d, ULONG n) override { return Container::SetBinary(k, d, n); }
    bool STDMETHODCALLTYPE SetWString(ULONG k, const wchar_t* v) override { return Container::SetWString(k, v); }
    bool STDMETHODCALLTYPE SetString(ULONG k, const char* v) override { return Container::SetString(k, v); }
    bool STDMETHODCALLTYPE SetSystemTime(ULONG k, const SYSTEMTIME* v) override
    {
        return Container::SetSystemTime(k, v);
    }
    bool STDMETHODCALLTYPE SetGuid(ULONG k, const GUID* v) override { return Container::SetGuid(k, v); }
    bool STDMETHODCALLTYPE SetDouble(ULONG k, double v) override { return Container::SetDouble(k, v); }
    bool STDMETHODCALLTYPE SetUInt64(ULONG k, ULONGLONG v) override { return Container::SetUInt64(k, v); }
    bool STDMETHODCALLTYPE SetInt64(ULONG k, LONGLONG v) override { return Container::SetInt64(k, v); }
    bool STDMETHODCALLTYPE SetUInt32(ULONG k, ULONG v) override { return Container::SetUInt32(k, v); }
    bool STDMETHODCALLTYPE SetInt32(ULONG k, LONG v) override { return Container::SetInt32(k, v); }
    bool STDMETHODCALLTYPE SetUInt16(ULONG k, USHORT v) override { return Container::SetUInt16(k, v); }
    bool STDMETHODCALLTYPE SetInt16(ULONG k, SHORT v) override { return Container::SetInt16(k, v); }
    bool STDMETHODCALLTYPE SetUInt8(ULONG k, BYTE v) override { return Container::SetUInt8(k, v); }
    bool STDMETHODCALLTYPE SetInt8(ULONG k, signed char v) override { return Container::SetInt8(k, v); }
    bool STDMETHODCALLTYPE SetBool(ULONG k, bool v) override { return Container::SetBool(k, v); }

    bool STDMETHODCALLTYPE GetSize(ULONGLONG* size) override { return Container::GetPersistSize(size); }
    bool STDMETHODCALLTYPE Save(IByteStream* stream) override { return Container::SaveToStream(stream); }
    bool STDMETHODCALLTYPE Load(IByteStream* stream) override { return Container::LoadFromStream(stream); }
    bool STDMETHODCALLTYPE IsModified() override { return Container::IsModifiedFlag(); }
    bool STDMETHODCALLTYPE SetModified(bool modified) override { return Container::SetModifiedFlag(modified); }
    bool STDMETHODCALLTYPE GetClassId(GUID* id) override
    {
        if (!id)
            return false;
        *id = ClassId;
        return true;
    }
    bool STDMETHODCALLTYPE SetSizeCaching(bool on) override { return Container::SetSizeCachingFlag(on); }
    bool STDMETHODCALLTYPE GetSizeCaching() override { return Container::GetSizeCachingFlag(); }

    // From another collection of the same kind only; this one is unchanged when the source is
    // not one. The source is read through its interface, one locked call at a time.
    bool STDMETHODCALLTYPE CopyFrom(IUnknown* source) override
    {
        Microsoft::WRL::ComPtr<Itf> other;
        if (!source || QkFailed(source->QueryInterface(ClassId, reinterpret_cast<void**>(other.GetAddressOf())))) {
            QK_TRACE(L"not a collection of this kind");
            return false;
        }
        if (other.Get() == static_cast<Itf*>(this))
            return true;
        return Container::CopyFromInterface(other.Get());
    }
    // A new collection of this kind holding copies of the entries, made while this collection's
    // lock is held so that no setter on another thread changes what is being copied.
    bool STDMETHODCALLTYPE Clone(IUnknown** clone) override
    {
        if (!clone)
            return false;
        if (*clone) {
            (*clone)->Release();
            *clone = nullptr;
        }
        Microsoft::WRL::ComPtr<Itf> copy;
        *copy.GetAddressOf() = CreateEmpty();
        if (!copy || !static_cast<qkTalValueCollectionObject*>(copy.Get())->CopyCollection(*this, true))
            return false;
        *clone = copy.Detach();
        return true;
    }

    // The archive forms, for owners that embed a collection in their own records.
    using Container::Load;
    using Container::Save;

protected:
    // A new empty collection of the derived class with one reference, or null.
    virtual Itf* CreateEmpty() = 0;

    void* GetInterface(REFIID iid) override
    {
        if (iid == GUID_NULL || iid == IID_IValueCollection || iid == ClassId || iid == IID_IUnknown)
            return static_cast<Itf*>(this);
        if (iid == IID_ISerializable || iid == IID_ISizeCachingSerializable)
            return static_cast<ISizeCachingSerializable*>(this);
        if (iid == IID_ICloneable)
            return static_cast<ICloneable*>(this);
        return nullptr;
    }
};
