#include "common/persist/qkByteArrayHolder.h"

qkByteArrayHolder::qkByteArrayHolder() : qkSafeArrayHolder(VT_UI1, &SafeArrayUnaccessData) {}

BOOL qkByteArrayHolder::Create(ULONG count)
{
    Reset();
    return Adopt(SafeArrayCreateVector(VT_UI1, 0, count), count);
}

BYTE* qkByteArrayHolder::AccessData()
{
    void* data = nullptr;
    if (!Array() || !Held(SafeArrayAccessData(Array(), &data)))
        return nullptr;
    return static_cast<BYTE*>(data);
}
