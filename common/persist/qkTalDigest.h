#pragma once
// The four digest classes, which differ only in the value's size, kind and ids. The saved form
// is the version (tag 6, 1) and the value bytes (tag 9). The value is not locked: concurrent
// SetValue, CopyFrom and GetValue on one object need the caller's own serialisation.
#include <cstring>

#include "common/objects/qkTalCountedObject.h"
#include "common/persist/ICloneable.h"
#include "common/persist/IDigest.h"
#include "common/persist/ISerializable.h"
#include "common/persist/qkTalPersistBase.h"

template <ULONG Size, ULONG Kind, const GUID& ClassId, const GUID& SizeId>
class qkTalDigest : public qkTalCountedObject,
                    public IDigest,
                    public ISerializable,
                    public ICloneable,
                    public qkTalPersistBase {
public:
    static constexpr ULONG kValueSize = Size;

    // A new digest (value all zero) with one reference, or null when out of memory.
    static IDigest* Create();
    static IUnknown* STDAPICALLTYPE CreateObject() { return Create(); }

    QK_TAL_UNKNOWN_IMPL()

    ULONG STDMETHODCALLTYPE GetKind() override { return Kind; }
    void STDMETHODCALLTYPE SetValue(const BYTE* value) override
    {
        if (!value)
            return;
        std::memcpy(m_value, value, Size);
        SetModifiedFlag(true);
    }
    const BYTE* STDMETHODCALLTYPE GetValue() override { return m_value; }

    QK_TAL_SERIALIZABLE_IMPL(ClassId)

    // Only a digest of the same size is copied; the changed flag is not touched.
    bool STDMETHODCALLTYPE CopyFrom(IUnknown* source) override
    {
        IDigest* other = nullptr;
        if (!source || QkFailed(source->QueryInterface(SizeId, reinterpret_cast<void**>(&other))) || !other)
            return false;
        std::memmove(m_value, other->GetValue(), Size);
        other->Release();
        return true;
    }
    bool STDMETHODCALLTYPE Clone(IUnknown** clone) override
    {
        if (!clone)
            return false;
        IDigest* copy = Create();
        if (!copy)
            return false;
        copy->SetValue(m_value);
        if (*clone)
            (*clone)->Release();
        *clone = copy;
        return true;
    }

    bool Save(qkLib::CArchive& archive) override;
    bool Load(qkLib::CArchive& archive) override;

protected:
    void* GetInterface(REFIID iid) override
    {
        if (iid == GUID_NULL || iid == IID_IDigest || iid == SizeId || iid == IID_IUnknown)
            return static_cast<IDigest*>(this);
        if (iid == IID_ISerializable)
            return static_cast<ISerializable*>(this);
        if (iid == IID_ICloneable)
            return static_cast<ICloneable*>(this);
        return nullptr;
    }

private:
    qkTalDigest() = default;

    BYTE m_value[Size] = {};
};

using qkTal128BitDigest = qkTalDigest<16, 1, CLSID_qkTal128BitDigest, IID_I128BitDigest>;
using qkTal160BitDigest = qkTalDigest<20, 2, CLSID_qkTal160BitDigest, IID_I160BitDigest>;
using qkTal256BitDigest = qkTalDigest<32, 3, CLSID_qkTal256BitDigest, IID_I256BitDigest>;
using qkTal512BitDigest = qkTalDigest<64, 4, CLSID_qkTal512BitDigest, IID_I512BitDigest>;

extern template class qkTalDigest<16, 1, CLSID_qkTal128BitDigest, IID_I128BitDigest>;
extern template class qkTalDigest<20, 2, CLSID_qkTal160BitDigest, IID_I160BitDigest>;
extern template class qkTalDigest<32, 3, CLSID_qkTal256BitDigest, IID_I256BitDigest>;
extern template class qkTalDigest<64, 4, CLSID_qkTal512BitDigest, IID_I512BitDigest>;
