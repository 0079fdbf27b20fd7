#include "common/persist/qkTalValueCollectionConvert.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkTrace.h"
#include "common/persist/qkTalValue.h"

bool qkTalValueCollectionConvert::GetStringValue(IValueCollection* collection, ULONG key, std::string& out)
{
    if (!collection) {
        QK_TRACE(L"no collection");
        return false;
    }
    ULONG chars = collection->GetValueSize(key);
    if (collection->GetValueType(key) == qkTalValue::eWString)
        chars /= 2;
    qkExceptionInfo info;
    try {
        out.assign(chars, '\0');
        ULONG size = 0;
        const bool ok = collection->GetStringEx(key, out.data(), chars, &size);
        out.resize(ok ? out.find('\0') == std::string::npos ? out.size() : out.find('\0') : 0);
        return ok;
    }
    QK_CATCH(info)
    QK_TRACE(L"Memory Exception is caught in GetStringValue: %s", info.GetFullText());
    return false;
}

bool qkTalValueCollectionConvert::GetWStringValue(IValueCollection* collection, ULONG key, std::wstring& out)
{
    if (!collection) {
        QK_TRACE(L"no collection");
        return false;
    }
    ULONG bytes = collection->GetValueSize(key);
    if (collection->GetValueType(key) == qkTalValue::eString)
        bytes *= 2;
    qkExceptionInfo info;
    try {
        out.assign(bytes / 2, L'\0');
        ULONG size = 0;
        const bool ok = collection->GetWStringEx(key, out.data(), bytes, &size);
        const size_t end = out.find(L'\0');
        out.resize(ok ? (end == std::wstring::npos ? out.size() : end) : 0);
        return ok;
    }
    QK_CATCH(info)
    QK_TRACE(L"Memory Exception is caught in GetWStringValue: %s", info.GetFullText());
    return false;
}

bool qkTalValueCollectionConvert::GetBinaryValue(IValueCollection* collection, ULONG key, qkMemory& out)
{
    if (!collection) {
        QK_TRACE(L"no collection");
        return false;
    }
    const ULONG bytes = collection->GetValueSize(key);
    out.Free();
    if (bytes && !out.Allocate(qkMemory::KindCrtHeap, bytes)) {
        QK_TRACE(L"cannot size the block to %lu bytes", bytes);
        return false;
    }
    ULONG size = 0;
    return collection->GetBinaryEx(key, out.GetData(), bytes, &size);
}
