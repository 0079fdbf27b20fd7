#pragma once
// Copying between library objects of one kind.
#include <windows.h>
#include <unknwn.h>

// {BA592838-A334-47FD-A894-B0F4691BB38C}
inline constexpr GUID IID_ICloneable = {0xBA592838, 0xA334, 0x47FD, {0xA8, 0x94, 0xB0, 0xF4, 0x69, 0x1B, 0xB3, 0x8C}};

struct ICloneable : public IUnknown {
    // Takes the other object's contents; false when it is not of this kind.
    virtual bool STDMETHODCALLTYPE CopyFrom(IUnknown* source) = 0;
    // A new object with a copy of the contents and one reference; what *clone held is released.
    virtual bool STDMETHODCALLTYPE Clone(IUnknown** clone) = 0;
};
