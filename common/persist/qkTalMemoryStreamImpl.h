#pragma once
// A byte stream over a memory buffer that grows as it is written. Each call holds the stream's
// lock, so one stream may be shared by several threads (a sequence of calls is not atomic).
#include "common/base/qkCriticalSection.h"
#include "common/base/qkMemory.h"
#include "common/objects/qkTalCountedObject.h"
#include "common/persist/IByteStream.h"

class qkTalMemoryStreamImpl : public qkTalCountedObject, public IByteStream {
public:
    // A new empty stream with one reference, or null when out of memory.
    static qkTalMemoryStreamImpl* Create();

    QK_TAL_UNKNOWN_IMPL()
    BOOL STDMETHODCALLTYPE GetSize(ULONGLONG* size) override;
    BOOL STDMETHODCALLTYPE SetSize(ULONGLONG size) override;
    BOOL STDMETHODCALLTYPE GetPosition(ULONGLONG* position) override;
    BOOL STDMETHODCALLTYPE SetPosition(ULONGLONG position) override;
    BOOL STDMETHODCALLTYPE Write(const void* data, ULONG count) override;
    BOOL STDMETHODCALLTYPE Read(void* buffer, ULONG count) override;

    // The buffer behind the stream, for its owner to fill or take (not under the lock).
    qkMemory& GetMemory() { return m_memory; }

protected:
    void* GetInterface(REFIID iid) override;

private:
    qkTalMemoryStreamImpl() = default;
    // Makes the buffer exactly size bytes long, keeping its contents.
    BOOL SetBufferSize(ULONG size);

    qkMemory m_memory;
    ULONG m_position = 0;
    qkCriticalSection m_lock;
};
