#include "common/persist/qkTalBoundedSubStream.h"

#include <cstring>

#include "common/base/qkTrace.h"

IByteStream* qkTalBoundedSubStream::Make(qkTalBoundedSubStream* stream)
{
    stream->AddRef();
    return stream;
}

IByteStream* qkTalBoundedSubStream::CreateOverMemory(qkMemory* memory, ULONG start, ULONG size)
{
    auto* stream = new (std::nothrow) qkTalBoundedSubStream(Kind::Memory, size);
    if (!stream)
        return nullptr;
    stream->m_memory = memory;
    stream->m_start = start;
    return Make(stream);
}

IByteStream* qkTalBoundedSubStream::CreateOverStream(IByteStream* source, ULONGLONG start, ULONG size)
{
    auto* stream = new (std::nothrow) qkTalBoundedSubStream(Kind::Stream, size);
    if (!stream)
        return nullptr;
    stream->m_stream = source;
    stream->m_start = start;
    return Make(stream);
}

IByteStream* qkTalBoundedSubStream::CreateCounting(ULONG size)
{
    auto* stream = new (std::nothrow) qkTalBoundedSubStream(Kind::Counting, size);
    return stream ? Make(stream) : nullptr;
}

void* qkTalBoundedSubStream::GetInterface(REFIID iid)
{
    if (iid == GUID_NULL || iid == IID_IByteStream || iid == IID_IUnknown)
        return static_cast<IByteStream*>(this);
    return nullptr;
}

BOOL STDMETHODCALLTYPE qkTalBoundedSubStream::GetSize(ULONGLONG* size)
{
    if (!size)
        return FALSE;
    *size = m_size;
    return TRUE;
}

BOOL STDMETHODCALLTYPE qkTalBoundedSubStream::SetSize(ULONGLONG)
{
    QK_TRACE(L"a window's size is fixed");
    return FALSE;
}

BOOL STDMETHODCALLTYPE qkTalBoundedSubStream::GetPosition(ULONGLONG* position)
{
    if (!position)
        return FALSE;
    *position = m_position;
    return TRUE;
}

BOOL STDMETHODCALLTYPE qkTalBoundedSubStream::SetPosition(ULONGLONG position)
{
    if (position > m_size) {
        QK_TRACE(L"position %llu beyond the window of %lu", position, m_size);
        return FALSE;
    }
    m_position = static_cast<ULONG>(position);
    return TRUE;
}

BOOL qkTalBoundedSubStream::Check(const void* pointer, ULONG count)
{
    if (!pointer && count > 0) {
        QK_TRACE(L"no buffer for %lu bytes", count);
        return FALSE;
    }
    if (count > m_size - m_position) {
        QK_TRACE(L"%lu bytes asked, %lu left in the window", count, m_size - m_position);
        return FALSE;
    }
    return TRUE;
}

// Moves count bytes between the window and the caller: buffer receives (read) or data gives (write).
BOOL qkTalBoundedSubStream::Move(void* buffer, const void* data, ULONG count)
{
    switch (m_kind) {
    case Kind::Memory: {
        const ULONGLONG offset = m_start + m_position;
        if (!m_memory || offset + count > m_memory->GetSize())
            return FALSE;
        BYTE* base = static_cast<BYTE*>(m_memory->GetData()) + offset;
        if (count)
            std::memcpy(buffer ? buffer : base, buffer ? base : data, count);
        return TRUE;
    }
    case Kind::Stream:
        if (!m_stream->SetPosition(m_start + m_position))
            return FALSE;
        return buffer ? m_stream->Read(buffer, count) : m_stream->Write(data, count);
    case Kind::Counting:
        return TRUE;
    }
    return FALSE;
}

BOOL STDMETHODCALLTYPE qkTalBoundedSubStream::Write(const void* data, ULONG count)
{
    if (!Check(data, count) || !Move(nullptr, data, count))
        return FALSE;
    m_position += count;
    return TRUE;
}

BOOL STDMETHODCALLTYPE qkTalBoundedSubStream::Read(void* buffer, ULONG count)
{
    if (!Check(buffer, count))
        return FALSE;
    if (count && !Move(buffer, nullptr, count))
        return FALSE;
    m_position += count;
    return TRUE;
}
