#pragma once
// Holds a one-dimensional safe array of bytes with lower bound 0, as qkVariantArrayHolder does
// for VARIANTs. Data access still held is released on destruction.
#include <windows.h>
#include <oaidl.h>

class qkByteArrayHolder {
public:
    qkByteArrayHolder();
    ~qkByteArrayHolder();
    qkByteArrayHolder(const qkByteArrayHolder&) = delete;
    qkByteArrayHolder& operator=(const qkByteArrayHolder&) = delete;

    BOOL Attach(VARIANT* value);
    BOOL Create(ULONG count);
    ULONG GetCount() const { return m_count; }
    // The bytes, or null; pair with UnaccessData.
    BYTE* AccessData();
    BOOL UnaccessData();
    BOOL Detach(VARIANT* target);

private:
    void Release();

    VARIANT m_own;
    VARIANT* m_current;
    SAFEARRAY* m_array = nullptr;
    ULONG m_count = 0;
    ULONG m_accesses = 0;
};
