#include "common/persist/qkMemoryArchive.h"

#include <cstring>

#include "common/base/qkTrace.h"
#include "common/persist/qkTalBoundedSubStream.h"

qkMemoryArchive::qkMemoryArchive(ULONG mode) : CArchive(mode) {}

BOOL qkMemoryArchive::Assign(const void* data, ULONG size)
{
    m_position = 0;
    if (size == 0) {
        m_memory.Free();
        return TRUE;
    }
    return m_memory.Assign(data, size);
}

BOOL qkMemoryArchive::MakeRoom(ULONG count)
{
    if (m_memory.GetSize() - m_position >= count)
        return TRUE;
    const ULONGLONG end = static_cast<ULONGLONG>(m_position) + count;
    if (end > 0xFFFFFFFFull) {
        QK_TRACE(L"buffer cannot hold %llu bytes", end);
        return FALSE;
    }
    void* data = m_memory.GetSize() == 0 ? m_memory.Allocate(qkMemory::KindCrtHeap, static_cast<ULONG>(end))
                                         : m_memory.Resize(static_cast<ULONG>(end));
    if (!data) {
        QK_TRACE(L"cannot grow the buffer to %llu bytes", end);
        return FALSE;
    }
    return TRUE;
}

BOOL qkMemoryArchive::Write(const void* data, ULONG count)
{
    if (count == 0)
        return TRUE;
    if (!data || !MakeRoom(count))
        return FALSE;
    std::memcpy(static_cast<BYTE*>(m_memory.GetData()) + m_position, data, count);
    m_position += count;
    return TRUE;
}

BOOL qkMemoryArchive::Read(void* buffer, ULONG count)
{
    if (count == 0)
        return TRUE;
    if (!buffer || m_memory.GetSize() - m_position < count) {
        QK_TRACE(L"%lu bytes asked, %lu left", count, m_memory.GetSize() - m_position);
        return FALSE;
    }
    std::memcpy(buffer, static_cast<const BYTE*>(m_memory.GetData()) + m_position, count);
    m_position += count;
    return TRUE;
}

BOOL qkMemoryArchive::GetPosition(ULONGLONG* position)
{
    if (!position)
        return FALSE;
    *position = m_position;
    return TRUE;
}

BOOL qkMemoryArchive::SetPosition(ULONGLONG position)
{
    if (position > m_memory.GetSize()) {
        QK_TRACE(L"position %llu beyond the buffer of %lu", position, m_memory.GetSize());
        return FALSE;
    }
    m_position = static_cast<ULONG>(position);
    return TRUE;
}

BOOL qkMemoryArchive::OpenSubStream(ULONG size, BOOL forWriting, IByteStream** stream)
{
    if (!stream)
        return FALSE;
    *stream = nullptr;
    if (forWriting ? !MakeRoom(size) : m_memory.GetSize() - m_position < size) {
        QK_TRACE(L"no room for a window of %lu bytes", size);
        return FALSE;
    }
    *stream = qkTalBoundedSubStream::CreateOverMemory(&m_memory, m_position, size);
    if (!*stream)
        return FALSE;
    m_position += size;
    return TRUE;
}
