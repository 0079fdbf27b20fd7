#pragma once
// Holds a one-dimensional safe array of VARIANTs with lower bound 0: its own VARIANT, or a
// caller's VARIANT after Attach (never cleared by the holder). VT_BYREF|VT_VARIANT chains are
// followed to the VARIANT that holds the array. Locks still held are released on destruction.
#include <windows.h>
#include <oaidl.h>

class qkVariantArrayHolder {
public:
    qkVariantArrayHolder();
    ~qkVariantArrayHolder();
    qkVariantArrayHolder(const qkVariantArrayHolder&) = delete;
    qkVariantArrayHolder& operator=(const qkVariantArrayHolder&) = delete;

    // FALSE (and nothing attached) unless the VARIANT holds such an array.
    BOOL Attach(VARIANT* value);
    // A new array of count empty VARIANTs in the holder's own VARIANT.
    BOOL Create(ULONG count);
    ULONG GetCount() const { return m_count; }
    BOOL Lock();
    BOOL Unlock();
    // Element i (0 <= i < count) of the locked array, or null.
    VARIANT* GetElement(ULONG index);
    // Moves the own VARIANT into the target, which is cleared first.
    BOOL Detach(VARIANT* target);

private:
    void Release();

    VARIANT m_own;
    VARIANT* m_current;
    SAFEARRAY* m_array = nullptr;
    ULONG m_count = 0;
    ULONG m_locks = 0;
};
