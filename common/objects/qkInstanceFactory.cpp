#include "common/objects/qkInstanceFactory.h"

#include <cstdlib>

#include "common/base/qkCriticalSection.h"
#include "common/base/qkScopedLock.h"
#include "common/base/qkTrace.h"
#include "common/objects/qkTalInstanceFactoryImpl.h"
#include "common/persist/qkTalDigest.h"
#include "common/persist/qkTalIndexValueCollectionImpl.h"
#include "common/persist/qkTalKeyValueCollectionImpl.h"
#include "common/persist/qkTalMemoryImpl.h"
#include "common/persist/qkTalStringImpl.h"

const qkInstanceFactory::BuiltIn qkInstanceFactory::kBuiltIns[8] = {
    {CLSID_qkTalIndexValueCollection, &qkTalIndexValueCollectionImpl::CreateObject},
    {CLSID_qkTalKeyValueCollection, &qkTalKeyValueCollectionImpl::CreateObject},
    {CLSID_qkTalString, &qkTalStringImpl::CreateObject},
    {CLSID_qkTalMemory, &qkTalMemoryImpl::CreateObject},
    {CLSID_qkTal128BitDigest, &qkTal128BitDigest::CreateObject},
    {CLSID_qkTal160BitDigest, &qkTal160BitDigest::CreateObject},
    {CLSID_qkTal256BitDigest, &qkTal256BitDigest::CreateObject},
    {CLSID_qkTal512BitDigest, &qkTal512BitDigest::CreateObject},
};

namespace {

IInstanceFactory* g_factory = nullptr;
bool g_exitActionSet = false;

qkCriticalSection& FactoryLock()
{
    static qkCriticalSection lock;
    return lock;
}

void ReleaseGlobalFactory()
{
    qkScopedLock lock(FactoryLock());
    if (g_factory) {
        g_factory->Release();
        g_factory = nullptr;
    }
}

} // namespace

IInstanceFactory* qkInstanceFactory::CreateFactory()
{
    IInstanceFactory* factory = qkTalInstanceFactoryImpl::Create();
    if (!factory)
        return nullptr;
    for (const BuiltIn& row : kBuiltIns) {
        if (!row.creator)
            continue;
        const HRESULT hr = factory->RegisterCreator(row.objectId, row.creator);
        if (hr < 0)
            QK_TRACE(L"built-in object not registered, 0x%08lX", static_cast<unsigned long>(hr));
    }
    return factory;
}

IInstanceFactory* qkInstanceFactory::GetInstanceFactory()
{
    qkScopedLock lock(FactoryLock());
    if (!g_exitActionSet) {
        g_exitActionSet = true;
        std::atexit(ReleaseGlobalFactory);
    }
    if (!g_factory)
        g_factory = CreateFactory();
    return g_factory;
}
