#pragma once
// A typed archive that stores nothing: writing to it only counts, so that its byte count after
// a serialization is the number of bytes the serialization takes.
#include "common/persist/CArchive.h"

class qkDummyArchive : public qkLib::CArchive {
public:
    explicit qkDummyArchive(ULONG mode) : CArchive(mode) {}

    BOOL OpenSubStream(ULONG size, BOOL forWriting, IByteStream** stream) override;
    BOOL Read(void*, ULONG) override { return TRUE; }
    BOOL Write(const void*, ULONG) override { return TRUE; }
    BOOL GetPosition(ULONGLONG* position) override;
    BOOL SetPosition(ULONGLONG) override { return TRUE; }
};
