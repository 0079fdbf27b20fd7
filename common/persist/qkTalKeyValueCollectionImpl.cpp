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

IUnknown* STDAPICALLTYPE qkTalKeyValueCollectionImpl::CreateObject()
{
    return Create();
}

bool STDMETHODCALLTYPE qkTalKeyValueCollectionImpl::CopyFrom(IUnknown* source)
{
    Microsoft::WRL::ComPtr<IKeyValueCollection> other;
    if (!source || QkFailed(source->QueryInterface(CLSID_qkTalKeyValueCollection,
                                                   reinterpret_cast<void**>(other.GetAddressOf())))) {
        QK_TRACE(L"not a key/value collection");
        return false;
    }
    if (other.Get() == static_cast<IKeyValueCollection*>(this))
        return true;
    return CopyFromInterface(other.Get());
}

bool STDMETHODCALLTYPE qkTalKeyValueCollectionImpl::Clone(IUnknown** clone)
{
    if (!clone)
        return false;
    if (*clone) {
        (*clone)->Release();
        *clone = nullptr;
    }
    qkExceptionInfo info;
    try {
        auto* copy = new qkTalKeyValueCollectionImpl();
        IKeyValueCollection* itf = copy;
        itf->AddRef();
        if (!copy->qkTalKeyValueCollection::CopyFrom(*this)) {
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
