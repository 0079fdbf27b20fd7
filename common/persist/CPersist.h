#pragma once
// Archive records of a long (tag 6) and of a memory block (tag 9), as the persistent objects
// write their versions, types and blocks.
#include <windows.h>

#include "common/base/qkMemory.h"
#include "common/persist/CArchive.h"

class CPersist {
public:
    static bool Write(LONG value, qkLib::CArchive* archive);
    static bool Read(LONG& value, qkLib::CArchive* archive);
    static bool Write(const qkMemory& block, qkLib::CArchive* archive);
    // Frees the block, then reads the next tag-9 record into a block of its size.
    static bool Read(qkMemory& block, qkLib::CArchive* archive);
};
