#pragma once
// The process-wide instance factory, made on first use with the library's own object ids
// registered.
#include <windows.h>

#include "common/objects/IInstanceFactory.h"

class qkInstanceFactory {
public:
    // The process-wide factory, borrowed (no reference added; do not release), or null when it
    // could not be made. Released at process exit.
    static IInstanceFactory* GetInstanceFactory();
    // A new factory with the library's object ids registered, with one reference, or null.
    static IInstanceFactory* CreateFactory();

    // The library's own object ids and their in-process creators, in registration order: the
    // index/value and key/value collections, the string and memory objects, the four digests.
    struct BuiltIn {
        GUID objectId;
        PFN_CreateObject creator;
    };
    static const BuiltIn kBuiltIns[8];
};
