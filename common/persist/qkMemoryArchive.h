#pragma once
// A typed archive over a memory buffer that the archive owns. Writing grows the buffer; the
// content written ends at the position (the buffer may be larger after a sub-stream was opened).
#include "common/base/qkMemory.h"
#include "common/persist/CArchive.h"

class qkMemoryArchive : public qkLib::CArchive {
public:
    explicit qkMemoryArchive(ULONG mode);

    BOOL OpenSubStream(ULONG size, BOOL forWriting, IByteStream** stream) override;
    BOOL Read(void* buffer, ULONG count) override;
    BOOL Write(const void* data, ULONG count) override;
    BOOL GetPosition(ULONGLONG* position) override;
    BOOL SetPosition(ULONGLONG position) override;

    // The buffer: fill it before reading values, or take the bytes after writing them.
    qkMemory& GetMemory() { return m_memory; }
    // Replaces the buffer with a copy of the bytes and sets the position to 0.
    BOOL Assign(const void* data, ULONG size);

private:
    BOOL MakeRoom(ULONG count);

    qkMemory m_memory;
    ULONG m_position = 0;
};
