#pragma once
// What both safe-array holders share (bytes: qkByteArrayHolder; VARIANTs: qkVariantArrayHolder).
// A holder owns one VARIANT (VariantInit) and points at it, or at a caller's VARIANT after Attach;
// the caller's VARIANT is never cleared by the holder. It accepts only a one-dimensional array
// with lower bound 0 of its element type, found through VT_BYREF|VT_VARIANT chains (and one
// more dereference when VT_BYREF is set on the final VARIANT). The derived holder takes holds on
// the array (locks or data accesses); every hold still taken is released on destruction,
// repeating the release until it fails, and the own VARIANT is cleared.
#include <windows.h>
#include <oaidl.h>

class qkSafeArrayHolder {
public:
    qkSafeArrayHolder(const qkSafeArrayHolder&) = delete;
    qkSafeArrayHolder& operator=(const qkSafeArrayHolder&) = delete;

    // FALSE (and nothing attached) unless the VARIANT holds such an array.
    BOOL Attach(VARIANT* value);
    ULONG GetCount() const { return m_count; }
    // Moves the own VARIANT into the target, which is cleared first; FALSE while the holder
    // points at a caller's VARIANT or still holds the array.
    BOOL Detach(VARIANT* target);

protected:
    // The release of one hold: SafeArrayUnlock or SafeArrayUnaccessData.
    using ReleaseHold = HRESULT(STDAPICALLTYPE*)(SAFEARRAY*);

    qkSafeArrayHolder(VARTYPE elementType, ReleaseHold release);
    ~qkSafeArrayHolder();

    // Releases the holds and empties the own VARIANT, which the holder points at again.
    void Reset();
    // Puts a newly created array (null when creation failed: FALSE) of count elements into the
    // own VARIANT; follows Reset.
    BOOL Adopt(SAFEARRAY* array, ULONG count);
    // Counts a hold when the call that takes it succeeded.
    BOOL Held(HRESULT taken);
    BOOL Unhold();
    SAFEARRAY* Array() const { return m_array; }
    bool IsHeld() const { return m_holds != 0; }

private:
    void ReleaseHolds();

    const VARTYPE m_elementType;
    const ReleaseHold m_release;
    VARIANT m_own;
    VARIANT* m_current;
    SAFEARRAY* m_array = nullptr;
    ULONG m_count = 0;
    ULONG m_holds = 0;
};
