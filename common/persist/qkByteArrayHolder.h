#pragma once
// Holds a one-dimensional safe array of bytes with lower bound 0 (the rules of
// qkSafeArrayHolder); its holds are data accesses.
#include "common/persist/qkSafeArrayHolder.h"

class qkByteArrayHolder : public qkSafeArrayHolder {
public:
    qkByteArrayHolder();

    // A new array of count bytes in the holder's own VARIANT.
    BOOL Create(ULONG count);
    // The bytes, or null; pair with UnaccessData.
    BYTE* AccessData();
    BOOL UnaccessData() { return Unhold(); }
};
