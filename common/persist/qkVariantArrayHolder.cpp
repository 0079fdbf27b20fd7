#include "common/persist/qkVariantArrayHolder.h"

qkVariantArrayHolder::qkVariantArrayHolder() : qkSafeArrayHolder(VT_VARIANT, &SafeArrayUnlock) {}

BOOL qkVariantArrayHolder::Create(ULONG count)
{
    Reset();
    SAFEARRAYBOUND bound{count, 0};
    return Adopt(SafeArrayCreate(VT_VARIANT, 1, &bound), count);
}

BOOL qkVariantArrayHolder::Lock()
{
    return Array() && Held(SafeArrayLock(Array()));
}

VARIANT* qkVariantArrayHolder::GetElement(ULONG index)
{
    if (!IsHeld() || index >= GetCount())
        return nullptr;
    LONG at = static_cast<LONG>(index);
    void* element = nullptr;
    return SUCCEEDED(SafeArrayPtrOfIndex(Array(), &at, &element)) ? static_cast<VARIANT*>(element) : nullptr;
}
