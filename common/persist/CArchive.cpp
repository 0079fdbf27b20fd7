#include "common/persist/CArchive.h"

#include <cstring>
#include <new>
#include <vector>

#include <ole2.h>

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkTrace.h"
#include "common/persist/qkByteArrayHolder.h"
#include "common/persist/qkDummyArchive.h"
#include "common/persist/qkVariantArrayHolder.h"

namespace qkLib {

namespace {

// Data bytes of each fixed-size tag; 0 for the variable-size and unknown tags.
constexpr ULONG kFixedSize[17] = {0, 1, 2, 4, 8, 8, 4, 0, 0, 0, 1, 0, 1, 2, 8, 16, 16};

// Bytes of the data that follows the VARTYPE of a scalar variant; 0 for the other types.
ULONG ScalarSize(VARTYPE vt)
{
    switch (vt) {
    case VT_I2:
    case VT_BOOL:
    case VT_UI2:
        return 2;
    case VT_I4:
    case VT_R4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
        return 4;
    case VT_R8:
    case VT_DATE:
    case VT_I8:
    case VT_UI8:
        return 8;
    case VT_I1:
    case VT_UI1:
        return 1;
    default:
        return 0;
    }
}

} // namespace

// Counts the body bytes that pass through the archive's primitives.
struct CArchive::BodyIo {
    CArchive& archive;
    ULONG count = 0;
    BOOL Write(const void* data, ULONG n)
    {
        if (n && !archive.Write(data, n))
            return FALSE;
        count += n;
        return TRUE;
    }
    BOOL Read(void* data, ULONG n)
    {
        if (n && !archive.Read(data, n))
            return FALSE;
        count += n;
        return TRUE;
    }
};

CArchive::CArchive(ULONG mode) : m_mode(mode) {}

BOOL CArchive::OpenSubStream(ULONG, BOOL, IByteStream** stream)
{
    if (stream)
        *stream = nullptr;
    QK_TRACE(L"this medium has no sub-streams");
    return FALSE;
}

ULONG CArchive::GetFixedSize(BYTE tag)
{
    if (tag < 17 && kFixedSize[tag] != 0)
        return kFixedSize[tag];
    if (tag == 0 || tag > 16)
        QK_TRACE(L"unknown tag %u", tag);
    return 0;
}

BOOL CArchive::IsFixedSize(BYTE tag)
{
    return GetFixedSize(tag) != 0;
}

BOOL CArchive::GetStartPosition(ULONGLONG* position) const
{
    if (!m_startRecorded || !position)
        return FALSE;
    *position = m_startPosition;
    return TRUE;
}

BOOL CArchive::BeginValue(ULONGLONG* position)
{
    if (!GetPosition(position))
        return FALSE;
    if (!m_startRecorded) {
        m_startRecorded = true;
        m_startPosition = *position;
    }
    return TRUE;
}

void CArchive::Restore(ULONGLONG position)
{
    if (!SetPosition(position))
        QK_TRACE(L"cannot set the position back to %llu", position);
}

BOOL CArchive::CanRead(ULONGLONG count)
{
    if (count == 0)
        return TRUE;
    ULONGLONG position = 0;
    if (!GetPosition(&position))
        return FALSE;
    if (!SetPosition(position + count))
        return FALSE;
    return SetPosition(position);
}

BOOL CArchive::CanReadBeyondPromised(ULONGLONG count)
{
    return CanRead(m_promised + count);
}

BOOL CArchive::Promise(ULONGLONG count)
{
    if (!CanReadBeyondPromised(count)) {
        QK_TRACE(L"%llu bytes promised beyond %llu cannot be read", count, m_promised);
        return FALSE;
    }
    m_promised += count;
    return TRUE;
}

void CArchive::Redeem(ULONGLONG count)
{
    m_promised -= count < m_promised ? count : m_promised;
}

BOOL CArchive::WriteValue(BYTE tag, const void* data, ULONG size)
{
    if (m_mode != ModeWrite) {
        QK_TRACE(L"archive not in writing mode");
        return FALSE;
    }
    if (!data && size) {
        QK_TRACE(L"no data for %lu bytes", size);
        return FALSE;
    }
    ULONGLONG position = 0;
    if (!BeginValue(&position))
        return FALSE;
    const BOOL fixed = IsFixedSize(tag);
    if (!Write(&tag, 1) || (!fixed && !Write(&size, 4)) || (size && !Write(data, size))) {
        QK_TRACE(L"write of a tag-%u record failed", tag);
        Restore(position);
        return FALSE;
    }
    m_byteCount += (fixed ? 1 : 5) + static_cast<ULONGLONG>(size);
    return TRUE;
}

BOOL CArchive::ReadRecordHeader(BYTE* tag, ULONG* size)
{
    if (!Read(tag, 1))
        return FALSE;
    if (IsFixedSize(*tag)) {
        *size = GetFixedSize(*tag);
        return TRUE;
    }
    return Read(size, 4);
}

BOOL CArchive::ReadValue(BYTE expectedTag, void* buffer, ULONG bufferSize, ULONG* size)
{
    if (size)
        *size = 0;
    if (m_mode != ModeRead) {
        QK_TRACE(L"archive not in reading mode");
        return FALSE;
    }
    ULONGLONG position = 0;
    if (!BeginValue(&position))
        return FALSE;
    BYTE tag = 0;
    ULONG length = 0;
    BOOL ok = ReadRecordHeader(&tag, &length);
    if (ok && tag != expectedTag) {
        QK_TRACE(L"tag %u found, %u expected", tag, expectedTag);
        ok = FALSE;
    }
    if (ok && bufferSize < length) {
        QK_TRACE(L"record of %lu bytes, buffer of %lu", length, bufferSize);
        ok = FALSE;
    }
    if (ok && length && (!buffer || !Read(buffer, length)))
        ok = FALSE;
    if (!ok) {
        Restore(position);
        return FALSE;
    }
    if (size)
        *size = length;
    m_byteCount += (IsFixedSize(tag) ? 1 : 5) + static_cast<ULONGLONG>(length);
    return TRUE;
}

BOOL CArchive::ReadValue(BYTE expectedTag, void* buffer, ULONG bufferSize)
{
    return ReadValue(expectedTag, buffer, bufferSize, nullptr);
}

BOOL CArchive::PeekValue(BYTE* tag, ULONG* size)
{
    if (m_mode != ModeRead || !tag || !size)
        return FALSE;
    ULONGLONG position = 0;
    if (!BeginValue(&position))
        return FALSE;
    const BOOL ok = ReadRecordHeader(tag, size);
    return SetPosition(position) && ok;
}

BOOL CArchive::GetNextValueSize(ULONG* size)
{
    BYTE tag = 0;
    return PeekValue(&tag, size);
}

BOOL CArchive::ReadSizedRecord(BYTE tag, qkMemory& block, ULONG* size)
{
    block.Free();
    *size = 0;
    BYTE found = 0;
    ULONG n = 0;
    if (!PeekValue(&found, &n) || found != tag)
        return FALSE;
    // The record is the header and n data bytes: the medium must hold them all, beyond the bytes
    // promised to values still to come.
    if (!CanReadBeyondPromised((IsFixedSize(tag) ? 1 : 5) + static_cast<ULONGLONG>(n))) {
        QK_TRACE(L"record claims %lu bytes, the medium holds fewer", n);
        return FALSE;
    }
    if (n && !block.Allocate(qkMemory::KindCrtHeap, n)) {
        QK_TRACE(L"cannot allocate %lu bytes", n);
        return FALSE;
    }
    return ReadValue(tag, block.GetData(), n, size);
}

BOOL CArchive::WriteString(const char* text)
{
    if (!text)
        text = "";
    return WriteValue(TagString, text, static_cast<ULONG>(std::strlen(text)) + 1);
}

BOOL CArchive::WriteString(const std::string& text)
{
    return WriteValue(TagString, text.c_str(), static_cast<ULONG>(text.size()) + 1);
}

BOOL CArchive::WriteWString(const wchar_t* text)
{
    if (!text)
        text = L"";
    return WriteValue(TagWString, text, static_cast<ULONG>(2 * wcslen(text) + 2));
}

BOOL CArchive::WriteWString(const std::wstring& text)
{
    return WriteValue(TagWString, text.c_str(), static_cast<ULONG>(2 * text.size() + 2));
}

BOOL CArchive::ReadString(std::string& text)
{
    qkExceptionInfo info;
    try {
        text.clear();
        qkMemory block;
        ULONG n = 0;
        if (!ReadSizedRecord(TagString, block, &n))
            return FALSE;
        // Stored text ends at its first NUL, or with the record when it has none.
        const char* data = static_cast<const char*>(block.GetData());
        text.assign(data, strnlen(data ? data : "", n));
        return TRUE;
    }
    QK_CATCH(info)
    QK_TRACE(L"%s", info.GetFullText());
    return FALSE;
}

BOOL CArchive::ReadWString(std::wstring& text)
{
    qkExceptionInfo info;
    try {
        text.clear();
        qkMemory block;
        ULONG n = 0;
        if (!ReadSizedRecord(TagWString, block, &n))
            return FALSE;
        const wchar_t* data = static_cast<const wchar_t*>(block.GetData());
        text.assign(data ? data : L"", wcsnlen(data ? data : L"", n / 2));
        return TRUE;
    }
    QK_CATCH(info)
    QK_TRACE(L"%s", info.GetFullText());
    return FALSE;
}

BOOL CArchive::ReadBlob(qkMemory& block)
{
    ULONG n = 0;
    return ReadSizedRecord(TagBlob, block, &n);
}

BOOL CArchive::WriteStreamValue(ULONG n, IByteStream** stream)
{
    if (!stream)
        return FALSE;
    *stream = nullptr;
    ULONGLONG position = 0;
    if (!BeginValue(&position))
        return FALSE;
    const BYTE tag = TagBlob;
    if (!Write(&tag, 1) || !Write(&n, 4) || !OpenSubStream(n, TRUE, stream)) {
        QK_TRACE(L"cannot open a stream record of %lu bytes", n);
        Restore(position);
        return FALSE;
    }
    m_byteCount += 5 + static_cast<ULONGLONG>(n);
    return TRUE;
}

BOOL CArchive::ReadStreamValue(IByteStream** stream)
{
    if (!stream)
        return FALSE;
    *stream = nullptr;
    ULONGLONG position = 0;
    if (!BeginValue(&position))
        return FALSE;
    BYTE tag = 0;
    ULONG n = 0;
    // The window must leave the bytes promised to values still to come: what reads it cannot
    // count on them again.
    if (!Read(&tag, 1) || !Read(&n, 4) || tag != TagBlob || !CanReadBeyondPromised(n) ||
        !OpenSubStream(n, FALSE, stream)) {
        QK_TRACE(L"no stream record here (tag %u, %lu bytes)", tag, n);
        Restore(position);
        return FALSE;
    }
    m_byteCount += 5 + static_cast<ULONGLONG>(n);
    return TRUE;
}

BOOL CArchive::IsWritable(const VARIANT& value, int depth)
{
    if (depth > kMaxNesting)
        return FALSE;
    const VARTYPE vt = value.vt;
    if (vt & (VT_BYREF | VT_VECTOR))
        return FALSE;
    if (vt == VT_EMPTY || vt == VT_DECIMAL || vt == VT_BSTR || ScalarSize(vt) != 0)
        return TRUE;
    if (vt == VT_DISPATCH || vt == VT_UNKNOWN) {
        IUnknown* object = value.punkVal;
        if (!object)
            return FALSE;
        IPersistStream* persist = nullptr;
        if (FAILED(object->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&persist))) || !persist)
            return FALSE;
        persist->Release();
        return TRUE;
    }
    if (vt == (VT_ARRAY | VT_UI1)) {
        qkByteArrayHolder bytes;
        return bytes.Attach(const_cast<VARIANT*>(&value));
    }
    if (vt == (VT_ARRAY | VT_VARIANT)) {
        qkVariantArrayHolder elements;
        if (!elements.Attach(const_cast<VARIANT*>(&value)) || !elements.Lock())
            return FALSE;
        BOOL ok = TRUE;
        for (ULONG i = 0; ok && i < elements.GetCount(); ++i) {
            const VARIANT* element = elements.GetElement(i);
            ok = element && IsWritable(*element, depth + 1);
        }
        return ok;
    }
    return FALSE;
}

BOOL CArchive::WriteVariantBody(const VARIANT& value, int depth, ULONG* count)
{
    BodyIo io{*this};
    BOOL ok = WriteVariantData(value, depth, io);
    *count += io.count;
    return ok;
}

BOOL CArchive::WriteVariantData(const VARIANT& value, int depth, BodyIo& io)
{
    const VARTYPE vt = value.vt;
    if (!io.Write(&vt, 2))
        return FALSE;
    const ULONG scalar = ScalarSize(vt);
    if (scalar)
        return io.Write(&value.bVal, scalar);
    switch (vt) {
    case VT_EMPTY:
        return TRUE;
    case VT_DECIMAL:
        return io.Write(&value, 16);
    case VT_BSTR: {
        const ULONG n = value.bstrVal ? SysStringByteLen(value.bstrVal) : 0;
        return io.Write(&n, 4) && io.Write(value.bstrVal, n);
    }
    case VT_DISPATCH:
    case VT_UNKNOWN: {
        IPersistStream* persist = nullptr;
        if (FAILED(value.punkVal->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&persist))))
            return FALSE;
        IStream* stream = nullptr;
        HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, &stream);
        if (SUCCEEDED(hr))
            hr = OleSaveToStream(persist, stream);
        HGLOBAL global = nullptr;
        if (SUCCEEDED(hr))
            hr = GetHGlobalFromStream(stream, &global);
        BOOL ok = FALSE;
        if (FAILED(hr)) {
            QK_TRACE(L"saving the object failed: 0x%08lX", static_cast<unsigned long>(hr));
        } else if (void* data = GlobalLock(global)) {
            const ULONG n = static_cast<ULONG>(GlobalSize(global));
            ok = io.Write(&n, 4) && io.Write(data, n);
            GlobalUnlock(global);
        }
        if (stream)
            stream->Release();
        persist->Release();
        return ok;
    }
    default:
        break;
    }
    if (vt == (VT_ARRAY | VT_UI1)) {
        qkByteArrayHolder bytes;
        if (!bytes.Attach(const_cast<VARIANT*>(&value)))
            return FALSE;
        const ULONG count = bytes.GetCount();
        if (count == 0)
            return io.Write(&count, 4);
        const BYTE* data = bytes.AccessData();
        return data && io.Write(&count, 4) && io.Write(data, count);
    }
    qkVariantArrayHolder elements;
    if (!elements.Attach(const_cast<VARIANT*>(&value)) || !elements.Lock())
        return FALSE;
    const ULONG count = elements.GetCount();
    BOOL ok = io.Write(&count, 4);
    for (ULONG i = 0; ok && i < count; ++i) {
        const VARIANT* element = elements.GetElement(i);
        ok = element && WriteVariantData(*element, depth + 1, io);
    }
    return ok;
}

BOOL CArchive::WriteVariant(const VARIANT& value)
{
    if (m_mode != ModeWrite) {
        QK_TRACE(L"archive not in writing mode");
        return FALSE;
    }
    ULONGLONG position = 0;
    if (!BeginValue(&position))
        return FALSE;
    if (!IsWritable(value, 0)) {
        QK_TRACE(L"variant of type 0x%04X cannot be written", value.vt);
        return FALSE;
    }
    // Measure the body first: the record's length precedes it. An object is saved twice.
    qkDummyArchive counter(ModeWrite);
    ULONG length = 0, written = 0;
    const BYTE tag = TagVariant;
    BOOL ok = static_cast<CArchive&>(counter).WriteVariantBody(value, 0, &length) && Write(&tag, 1) &&
              Write(&length, 4) && WriteVariantBody(value, 0, &written) && written == length;
    if (!ok) {
        QK_TRACE(L"variant record not written (%lu of %lu bytes)", written, length);
        Restore(position);
        return FALSE;
    }
    m_byteCount += 5 + static_cast<ULONGLONG>(length);
    return TRUE;
}

BOOL CArchive::ReadVariantData(VARIANT* value, int depth, BodyIo& io)
{
    if (depth > kMaxNesting) {
        QK_TRACE(L"variant nesting deeper than %d", kMaxNesting);
        return FALSE;
    }
    VariantClear(value);
    VARTYPE vt = 0;
    if (!io.Read(&vt, 2))
        return FALSE;
    const ULONG scalar = ScalarSize(vt);
    if (scalar) {
        if (!io.Read(&value->bVal, scalar))
            return FALSE;
        value->vt = vt;
        return TRUE;
    }
    switch (vt) {
    case VT_EMPTY:
        return TRUE;
    case VT_DECIMAL:
        if (!io.Read(value, 16))
            return FALSE;
        value->vt = VT_DECIMAL;
        return TRUE;
    case VT_BSTR: {
        ULONG n = 0;
        if (!io.Read(&n, 4) || !CanReadBeyondPromised(n))
            return FALSE;
        BSTR text = SysAllocStringByteLen(nullptr, n);
        if (!text)
            return FALSE;
        if (!io.Read(text, n)) {
            SysFreeString(text);
            return FALSE;
        }
        value->vt = VT_BSTR;
        value->bstrVal = text;
        return TRUE;
    }
    case VT_DISPATCH:
    case VT_UNKNOWN: {
        ULONG n = 0;
        if (!io.Read(&n, 4) || !CanReadBeyondPromised(n))
            return FALSE;
        HGLOBAL global = GlobalAlloc(GMEM_MOVEABLE, n ? n : 1);
        if (!global)
            return FALSE;
        void* data = GlobalLock(global);
        const BOOL read = data && io.Read(data, n);
        if (data)
            GlobalUnlock(global);
        IStream* stream = nullptr;
        if (!read || FAILED(CreateStreamOnHGlobal(global, TRUE, &stream))) {
            GlobalFree(global);
            return FALSE;
        }
        LARGE_INTEGER zero{};
        stream->Seek(zero, STREAM_SEEK_SET, nullptr);
        value->vt = vt;
        value->punkVal = nullptr;
        const HRESULT hr = OleLoadFromStream(stream, vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown,
                                             reinterpret_cast<void**>(&value->punkVal));
        stream->Release();
        if (FAILED(hr)) {
            QK_TRACE(L"OleLoadFromStream failed: 0x%08lX", static_cast<unsigned long>(hr));
            value->vt = VT_EMPTY;
            value->punkVal = nullptr;
            return FALSE;
        }
        return TRUE;
    }
    case VT_ARRAY | VT_UI1: {
        ULONG count = 0;
        if (!io.Read(&count, 4) || !CanReadBeyondPromised(count))
            return FALSE;
        qkByteArrayHolder bytes;
        if (!bytes.Create(count))
            return FALSE;
        if (count) {
            BYTE* data = bytes.AccessData();
            if (!data || !io.Read(data, count) || !bytes.UnaccessData())
                return FALSE;
        }
        return bytes.Detach(value);
    }
    case VT_ARRAY | VT_VARIANT: {
        ULONG count = 0;
        // Each element takes at least its two type bytes, beyond the bytes that the elements
        // which enclosing arrays counted and have not read yet still need: no two arrays count
        // the same input, so the elements of a whole load are at most half its input.
        if (!io.Read(&count, 4) || !CanReadBeyondPromised(2ull * count))
            return FALSE;
        qkVariantArrayHolder elements;
        if (!elements.Create(count) || !elements.Lock())
            return FALSE;
        m_promised += 2ull * count;
        BOOL ok = TRUE;
        ULONG i = 0;
        for (; ok && i < count; ++i) {
            m_promised -= 2; // this element's own bytes are read now
            VARIANT* element = elements.GetElement(i);
            ok = element && ReadVariantData(element, depth + 1, io);
        }
        m_promised -= 2ull * (count - i);
        if (!ok || !elements.Unlock())
            return FALSE;
        return elements.Detach(value);
    }
    default:
        QK_TRACE(L"variant type 0x%04X cannot be read", vt);
        return FALSE;
    }
}

BOOL CArchive::ReadVariant(VARIANT* value)
{
    if (m_mode != ModeRead || !value) {
        QK_TRACE(L"archive not in reading mode");
        return FALSE;
    }
    ULONGLONG position = 0;
    if (!BeginValue(&position))
        return FALSE;
    BYTE tag = 0;
    ULONG length = 0;
    BodyIo io{*this};
    const ULONGLONG promised = m_promised;
    BOOL ok = Read(&tag, 1) && tag == TagVariant && Read(&length, 4) && CanReadBeyondPromised(length);
    // The body must fill the record exactly.
    ok = ok && ReadVariantData(value, 0, io) && io.count == length;
    m_promised = promised;
    if (!ok) {
        QK_TRACE(L"no variant record here (tag %u, %lu bytes)", tag, length);
        VariantClear(value);
        Restore(position);
        return FALSE;
    }
    m_byteCount += 5 + static_cast<ULONGLONG>(length);
    return TRUE;
}

} // namespace qkLib
