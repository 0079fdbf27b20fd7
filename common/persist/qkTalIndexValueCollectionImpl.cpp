#include "common/persist/qkTalIndexValueCollectionImpl.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkTrace.h"

IIndexValueCollection* qkTalIndexValueCollectionImpl::Create()
{
    qkExceptionInfo info;
    try {
        IIndexValueCollection* collection = new qkTalIndexValueCollectionImpl();
        collection->AddRef();
        return collection;
    }
    QK_CATCH(info)
    QK_TRACE(L"Memory Exception is caught in Create: %s", info.GetFullText());
    return nullptr;
}

IIndexValueCollection* qkTalIndexValueCollectionImpl::CreateEmpty()
{
    return Create();
}

IUnknown* STDAPICALLTYPE qkTalIndexValueCollectionImpl::CreateObject()
{
    return Create();
}
