#include "common/objects/qkInstanceFactory.h"

#include <cstdlib>

#include "common/base/qkCriticalSection.h"
#include "common/base/qkScopedLock.h"
#include "common/base/qkTrace.h"
#include "common/objects/qkTalInstanceFactoryImpl.h"

// The collections, the string and memory objects and the digests get their creators here as
// they join the library.
const qkInstanceFactory::BuiltIn qkInstanceFactory::kBuiltIns[8] = {
    // index/value collection
    {{0x740AB61D, 0x8B4A, 0x46CC, {0x9D, 0x82, 0x86, 0xF7, 0x2E, 0x05, 0x54, 0x77}}, nullptr},
    // key/value collection
    {{0x9958D891, 0xC319, 0x4C6C, {0xBE, 0xB9, 0xF9, 0xBF, 0xB3, 0x7E, 0xA4, 0x93}}, nullptr},
    // string object
    {{0x3F05A321, 0x43B7, 0x4578, {0x93, 0xC8, 0xCD, 0xC5, 0xF6, 0x4A, 0x14, 0x9A}}, nullptr},
    // memory object
    {{0x31324564, 0x3B13, 0x4533, {0x89, 0x99, 0x33, 0x99, 0x06, 0x88, 0xF5, 0xA9}}, nullptr},
    // 128-, 160-, 256- and 512-bit digests
    {{0x4FDA34C1, 0x9899, 0x494C, {0xA3, 0x3D, 0x72, 0xBA, 0x6B, 0xB0, 0xF4, 0xFD}}, nullptr},
    {{0x4FDA34C2, 0x9899, 0x494C, {0xA3, 0x3D, 0x72, 0xBA, 0x6B, 0xB0, 0xF4, 0xFD}}, nullptr},
    {{0x4FDA34C3, 0x9899, 0x494C, {0xA3, 0x3D, 0x72, 0xBA, 0x6B, 0xB0, 0xF4, 0xFD}}, nullptr},
    {{0x4FDA34C4, 0x9899, 0x494C, {0xA3, 0x3D, 0x72, 0xBA, 0x6B, 0xB0, 0xF4, 0xFD}}, nullptr},
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
