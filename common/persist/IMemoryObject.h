#pragma once
// The memory object's interface: one block of bytes. Its interface id is the memory object's
// object id.
#include <windows.h>
#include <unknwn.h>

// {31324564-3B13-4533-8999-33990688F5A9}
inline constexpr GUID CLSID_qkTalMemory = {
    0x31324564, 0x3B13, 0x4533, {0x89, 0x99, 0x33, 0x99, 0x06, 0x88, 0xF5, 0xA9}};

struct IMemoryObject : public IUnknown {
    // The new block's data pointer, or null.
    virtual void* STDMETHODCALLTYPE Allocate(ULONG size) = 0;
    // Keeps the bytes; the data pointer, or null.
    virtual void* STDMETHODCALLTYPE Resize(ULONG size) = 0;
    // Frees the block and clears the changed flag.
    virtual void STDMETHODCALLTYPE Free() = 0;
    virtual ULONG STDMETHODCALLTYPE GetSize() = 0;
    virtual void* STDMETHODCALLTYPE GetData() = 0;
    // Replaces the block with a copy of the bytes; the data pointer, or null.
    virtual void* STDMETHODCALLTYPE SetData(const void* data, ULONG size) = 0;
};
