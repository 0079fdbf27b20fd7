#pragma once
// Steps the option loaders share: the path of their key below the silo and the reading of a
// string value.
#include "common/system/qkRegistry.h"

#include <string>

class qkOptionReader {
public:
    // "<silo registry path>\<subKey>"; false (traced) without a silo path or after a failed
    // allocation.
    static bool SiloKeyPath(const wchar_t* subKey, std::wstring& path);
    // Reads a REG_SZ or REG_EXPAND_SZ (unexpanded) into the field; anything else leaves it alone.
    // Throws std::bad_alloc when the registry read ran out of memory.
    static void ReadString(qkRegistry& key, const wchar_t* name, std::wstring& field);
};
