#include "common/persist/qkTalKeyValueCollectionImpl.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkTrace.h"

IKeyValueCollection* qkTalKeyValueCollectionImpl::Create()
{
    qkExceptionInfo info;
    try {
        IKeyValueCollection* collection = new qkTalKeyValueCollectionImpl();
        collection->AddRef();
        return collection;
    }
    QK_CATCH(info)
    QK_TRACE(L"Memory Exception is caught in Create: %s", info.GetFullText());
    return nullptr;
}

IKeyValueCollection* qkTalKeyValueCollectionImpl::CreateEmpty()
{
    return Create();
}

IUnknown* STDAPICALLTYPE qkTalKeyValueCollectionImpl::CreateObject()
{
    return Create();
}
