// The security-status interface that an installed product's SDK DLL exposes, as StatusProbe binds
// it: one export creates the object, one generic method runs every operation.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <unknwn.h>

// {29A75D4B-F7B3-42A8-AB81-D4C07D2C1D5B}
inline constexpr IID IID_ISecurityStatus = {
    0x29a75d4b, 0xf7b3, 0x42a8, {0xab, 0x81, 0xd4, 0xc0, 0x7d, 0x2c, 0x1d, 0x5b}};

// Slot 3 after the IUnknown slots. command and parameter are passed by value (copies the callee
// must not free); result and error come back through the pointers, initialised empty by the caller.
struct ISecurityStatus : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Execute(LONG reserved, VARIANT command, VARIANT parameter, VARIANT* result,
                                              VARIANT* error) = 0;
};

// The DLL's one export, "SDKCreateObject".
using SDKCreateObjectFn = HRESULT(STDAPICALLTYPE*)(REFIID iid, void** object);
inline constexpr char kSdkCreateObjectExport[] = "SDKCreateObject";
