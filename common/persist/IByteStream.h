#pragma once
// The library's own byte stream: a sized, positioned run of bytes that the stream archive and the
// archives' bounded sub-streams work on. Every operation after the three reference-counting ones
// returns TRUE or FALSE; a refused call leaves position and contents as they were.
#include <windows.h>
#include <unknwn.h>

// {5ADE9677-53A9-4827-A659-5595C923EFE3}
inline constexpr GUID IID_IByteStream = {0x5ADE9677, 0x53A9, 0x4827, {0xA6, 0x59, 0x55, 0x95, 0xC9, 0x23, 0xEF, 0xE3}};

struct IByteStream : public IUnknown {
    virtual BOOL STDMETHODCALLTYPE GetSize(ULONGLONG* size) = 0;
    // Sets the size; the position returns to 0.
    virtual BOOL STDMETHODCALLTYPE SetSize(ULONGLONG size) = 0;
    virtual BOOL STDMETHODCALLTYPE GetPosition(ULONGLONG* position) = 0;
    virtual BOOL STDMETHODCALLTYPE SetPosition(ULONGLONG position) = 0;
    virtual BOOL STDMETHODCALLTYPE Write(const void* data, ULONG count) = 0;
    // Exactly count bytes, or FALSE.
    virtual BOOL STDMETHODCALLTYPE Read(void* buffer, ULONG count) = 0;
};
