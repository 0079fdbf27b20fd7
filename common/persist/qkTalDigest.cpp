#include "common/persist/qkTalDigest.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkTrace.h"

template <ULONG Size, ULONG Kind, const GUID& ClassId, const GUID& SizeId>
IDigest* qkTalDigest<Size, Kind, ClassId, SizeId>::Create()
{
    qkExceptionInfo info;
    try {
        IDigest* digest = new qkTalDigest();
        digest->AddRef();
        return digest;
    }
    QK_CATCH(info)
    QK_TRACE(L"%s", info.GetFullText());
    return nullptr;
}

template <ULONG Size, ULONG Kind, const GUID& ClassId, const GUID& SizeId>
bool qkTalDigest<Size, Kind, ClassId, SizeId>::Save(qkLib::CArchive& archive)
{
    if (!archive.WriteLong(1) || !archive.WriteBlob(m_value, Size)) {
        QK_TRACE(L"digest of %lu bytes not written", Size);
        return false;
    }
    return true;
}

template <ULONG Size, ULONG Kind, const GUID& ClassId, const GUID& SizeId>
bool qkTalDigest<Size, Kind, ClassId, SizeId>::Load(qkLib::CArchive& archive)
{
    LONG version = 0;
    if (!archive.ReadLong(&version)) {
        QK_TRACE(L"no version record");
        return false;
    }
    if (version != 1) {
        QK_TRACE(L"version %ld found, 1 expected", version);
        return false;
    }
    // Read into a scratch copy: a refused record leaves the value as it was.
    BYTE value[Size];
    ULONG read = 0;
    if (!archive.ReadBlob(value, Size, &read) || read != Size) {
        QK_TRACE(L"digest record of %lu bytes, %lu expected", read, Size);
        return false;
    }
    std::memcpy(m_value, value, Size);
    return true;
}

template class qkTalDigest<16, 1, CLSID_qkTal128BitDigest, IID_I128BitDigest>;
template class qkTalDigest<20, 2, CLSID_qkTal160BitDigest, IID_I160BitDigest>;
template class qkTalDigest<32, 3, CLSID_qkTal256BitDigest, IID_I256BitDigest>;
template class qkTalDigest<64, 4, CLSID_qkTal512BitDigest, IID_I512BitDigest>;
