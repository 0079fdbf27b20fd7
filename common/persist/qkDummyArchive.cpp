#include "common/persist/qkDummyArchive.h"

#include "common/persist/qkTalBoundedSubStream.h"

BOOL qkDummyArchive::GetPosition(ULONGLONG* position)
{
    if (!position)
        return FALSE;
    *position = 0;
    return TRUE;
}

BOOL qkDummyArchive::OpenSubStream(ULONG size, BOOL, IByteStream** stream)
{
    if (!stream)
        return FALSE;
    *stream = qkTalBoundedSubStream::CreateCounting(size);
    return *stream != nullptr;
}
