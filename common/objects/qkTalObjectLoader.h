#pragma once
// A holder of one trusted DLL loader, kept by users that need the DLL for as long as they live.
// Its users reach the loader inside directly.
#include "common/objects/qkTalTrustedDllLoader.h"

class qkTalObjectLoader {
public:
    qkTalObjectLoader() = default;
    qkTalObjectLoader(const qkTalObjectLoader&) = delete;
    qkTalObjectLoader& operator=(const qkTalObjectLoader&) = delete;
    virtual ~qkTalObjectLoader() = default;

    qkTalTrustedDllLoader m_loader;
};
