#include "common/persist/CPersist.h"

#include "common/base/qkTrace.h"

bool CPersist::Write(LONG value, qkLib::CArchive* archive)
{
    if (!archive || !archive->WriteLong(value)) {
        QK_TRACE(L"long not written");
        return false;
    }
    return true;
}

bool CPersist::Read(LONG& value, qkLib::CArchive* archive)
{
    if (!archive || !archive->ReadLong(&value)) {
        QK_TRACE(L"long not read");
        return false;
    }
    return true;
}

bool CPersist::Write(const qkMemory& block, qkLib::CArchive* archive)
{
    if (!archive || !archive->WriteBlob(block)) {
        QK_TRACE(L"block not written");
        return false;
    }
    return true;
}

bool CPersist::Read(qkMemory& block, qkLib::CArchive* archive)
{
    if (!archive || !archive->ReadBlob(block)) {
        QK_TRACE(L"block not read");
        return false;
    }
    return true;
}
