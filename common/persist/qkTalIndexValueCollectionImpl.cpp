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

IUnknown* STDAPICALLTYPE qkTalIndexValueCollectionImpl::CreateObject()
{
    return Create();
}

bool STDMETHODCALLTYPE qkTalIndexValueCollectionImpl::CopyFrom(IUnknown* source)
{
    Microsoft::WRL::ComPtr<IIndexValueCollection> other;
    if (!source || QkFailed(source->QueryInterface(CLSID_qkTalIndexValueCollection,
                                                   reinterpret_cast<void**>(other.GetAddressOf())))) {
        QK_TRACE(L"not an index/value collection");
        return false;
    }
    if (other.Get() == static_cast<IIndexValueCollection*>(this))
        return true;
    return CopyFromInterface(other.Get());
}

bool STDMETHODCALLTYPE qkTalIndexValueCollectionImpl::Clone(IUnknown** clone)
{
    if (!clone)
        return false;
    if (*clone) {
        (*clone)->Release();
        *clone = nullptr;
    }
    qkExceptionInfo info;
    try {
        auto* copy = new qkTalIndexValueCollectionImpl();
        IIndexValueCollection* itf = copy;
        itf->AddRef();
        if (!copy->qkTalIndexValueCollection::CopyFrom(*this)) {
            itf->Release();
            return false;
        }
        *clone = itf;
        return true;
    }
    QK_CATCH(info)
    QK_TRACE(L"Memory Exception is caught in Clone: %s", info.GetFullText());
    return false;
}
