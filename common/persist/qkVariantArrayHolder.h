#pragma once
// Holds a one-dimensional safe array of VARIANTs with lower bound 0 (the rules of
// qkSafeArrayHolder); its holds are locks.
#include "common/persist/qkSafeArrayHolder.h"

class qkVariantArrayHolder : public qkSafeArrayHolder {
public:
    qkVariantArrayHolder();

    // A new array of count empty VARIANTs in the holder's own VARIANT.
    BOOL Create(ULONG count);
    BOOL Lock();
    BOOL Unlock() { return Unhold(); }
    // Element i (0 <= i < count) of the locked array, or null.
    VARIANT* GetElement(ULONG index);
};
