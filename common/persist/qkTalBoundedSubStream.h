#pragma once
// The stream that an archive hands out over a fixed window of its medium (an embedded stream
// record). Reads and writes stay inside the window; its size cannot change. Three kinds, by
// medium: a window of a memory archive's buffer (the data pointer is taken at each access, so a
// later reallocation of the buffer does no harm; the archive must outlive the stream), a window
// of a byte stream, and a counting window that moves nothing.
#include "common/base/qkMemory.h"
#include "common/objects/qkTalCountedObject.h"
#include "common/persist/IByteStream.h"

class qkTalBoundedSubStream : public qkTalCountedObject, public IByteStream {
public:
    // Each gives the window with one reference, or null when out of memory.
    static IByteStream* CreateOverMemory(qkMemory* memory, ULONG start, ULONG size);
    static IByteStream* CreateOverStream(IByteStream* stream, ULONGLONG start, ULONG size);
    static IByteStream* CreateCounting(ULONG size);

    QK_TAL_UNKNOWN_IMPL()
    BOOL STDMETHODCALLTYPE GetSize(ULONGLONG* size) override;
    BOOL STDMETHODCALLTYPE SetSize(ULONGLONG size) override;
    BOOL STDMETHODCALLTYPE GetPosition(ULONGLONG* position) override;
    BOOL STDMETHODCALLTYPE SetPosition(ULONGLONG position) override;
    BOOL STDMETHODCALLTYPE Write(const void* data, ULONG count) override;
    BOOL STDMETHODCALLTYPE Read(void* buffer, ULONG count) override;

protected:
    void* GetInterface(REFIID iid) override;

private:
    enum class Kind { Memory, Stream, Counting };
    qkTalBoundedSubStream(Kind kind, ULONG size) : m_kind(kind), m_size(size) {}
    static IByteStream* Make(qkTalBoundedSubStream* stream);
    BOOL Check(const void* pointer, ULONG count);
    BOOL Move(void* buffer, const void* data, ULONG count);

    Kind m_kind;
    ULONG m_size;
    ULONG m_position = 0;
    qkMemory* m_memory = nullptr;
    ULONGLONG m_start = 0;
    Microsoft::WRL::ComPtr<IByteStream> m_stream;
};
