#include "common/persist/qkTalStreamArchive.h"

#include "common/base/qkTrace.h"
#include "common/persist/qkTalBoundedSubStream.h"

qkTalStreamArchive::~qkTalStreamArchive()
{
    if (m_stream && !m_stream->SetPosition(m_farthest))
        QK_TRACE(L"cannot leave the stream at %llu", m_farthest);
}

BOOL qkTalStreamArchive::Attach(IByteStream* stream)
{
    ULONGLONG position = 0;
    if (!stream || !stream->GetPosition(&position)) {
        QK_TRACE(L"no stream, or its position cannot be read");
        return FALSE;
    }
    m_stream = stream;
    m_position = m_farthest = position;
    RecordStart(position);
    return TRUE;
}

void qkTalStreamArchive::Advance(ULONGLONG count)
{
    m_position += count;
    if (m_position > m_farthest)
        m_farthest = m_position;
}

BOOL qkTalStreamArchive::GetPosition(ULONGLONG* position)
{
    if (!m_stream || !position) {
        QK_TRACE(L"no stream attached");
        return FALSE;
    }
    *position = m_position;
    return TRUE;
}

BOOL qkTalStreamArchive::SetPosition(ULONGLONG position)
{
    if (!m_stream) {
        QK_TRACE(L"no stream attached");
        return FALSE;
    }
    if (position == m_position)
        return TRUE;
    ULONGLONG size = 0;
    if (!m_stream->GetSize(&size) || position > size) {
        QK_TRACE(L"position %llu beyond the stream", position);
        return FALSE;
    }
    m_position = position;
    if (m_position > m_farthest)
        m_farthest = m_position;
    return TRUE;
}

BOOL qkTalStreamArchive::Write(const void* data, ULONG count)
{
    if (!m_stream) {
        QK_TRACE(L"no stream attached");
        return FALSE;
    }
    if (!m_stream->SetPosition(m_position) || !m_stream->Write(data, count))
        return FALSE;
    Advance(count);
    return TRUE;
}

BOOL qkTalStreamArchive::Read(void* buffer, ULONG count)
{
    if (!m_stream) {
        QK_TRACE(L"no stream attached");
        return FALSE;
    }
    if (!m_stream->SetPosition(m_position) || !m_stream->Read(buffer, count))
        return FALSE;
    Advance(count);
    return TRUE;
}

BOOL qkTalStreamArchive::OpenSubStream(ULONG size, BOOL forWriting, IByteStream** stream)
{
    if (!stream)
        return FALSE;
    *stream = nullptr;
    ULONGLONG streamSize = 0;
    if (!m_stream || !m_stream->GetSize(&streamSize)) {
        QK_TRACE(L"stream size unknown");
        return FALSE;
    }
    if (streamSize < m_position + size) {
        // The window must lie inside the stream: a writer extends it, a reader is refused.
        if (!forWriting || !m_stream->SetSize(m_position + size)) {
            QK_TRACE(L"window of %lu bytes beyond the stream", size);
            return FALSE;
        }
    }
    *stream = qkTalBoundedSubStream::CreateOverStream(m_stream.Get(), m_position, size);
    if (!*stream)
        return FALSE;
    Advance(size);
    return TRUE;
}
