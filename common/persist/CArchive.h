#pragma once
// The library's typed archive: values written to and read from a byte medium as self-describing
// records. A record is one tag byte, a little-endian u32 length for the variable-size tags only,
// then the data:
//
//   tag  data                      tag  data
//   1    1 byte (unsigned)          9    u32 length, bytes (blob, object id, embedded stream)
//   2    2 bytes (unsigned)         10   1 byte (boolean)
//   3    4 bytes (unsigned)         11   u32 length, variant body (see below)
//   4    8 bytes (unsigned)         12   1 byte (signed)
//   5    8 bytes (IEEE double)      13   2 bytes (signed)
//   6    4 bytes (signed, versions) 14   8 bytes (signed)
//   7    u32 length, ANSI text + NUL     15   16 bytes (GUID)
//   8    u32 length, UTF-16LE text + NUL 16   16 bytes (SYSTEMTIME)
//
// Any other tag is unknown and written like a variable-size record. A variant body is the u16
// VARTYPE, then the data by type: 1, 2, 4 or 8 bytes for scalars, the whole 16-byte variant for
// VT_DECIMAL, u32 byte length and bytes for VT_BSTR, u32 length and an OleSaveToStream image for
// VT_DISPATCH / VT_UNKNOWN, u32 count and bytes for a byte array, u32 count and element bodies for
// a variant array.
//
// What a reader refuses, and why: every length read from the medium is checked against what the
// medium still holds before anything is allocated for it, so a crafted length cannot make a large
// allocation; text stored without its terminator is taken with the length that was read; variant
// arrays nest at most kMaxNesting deep. A reader that makes room for values before it reads them
// (a variant array's elements, a collection's entries) first promises the least input each of
// them takes; every later length, count and embedded stream must leave the promised bytes that
// are not read yet. An embedded stream therefore never overlaps what the enclosing reader still
// counts on, so no byte of a load pays for two promises, at any depth of arrays or nested
// objects, and what a whole load allocates stays in proportion to its input. A failed value
// operation sets the position back to where the value began, so the caller may try another tag
// at the same place.
#include <windows.h>
#include <oaidl.h>

#include <string>

#include "common/base/qkMemory.h"
#include "common/persist/IByteStream.h"

namespace qkLib {

class CArchive {
public:
    enum Mode : ULONG { ModeRead = 1, ModeWrite = 2 };
    enum Tag : BYTE {
        TagUInt8 = 1,
        TagUInt16 = 2,
        TagUInt32 = 3,
        TagUInt64 = 4,
        TagDouble = 5,
        TagLong = 6,
        TagString = 7,
        TagWString = 8,
        TagBlob = 9,
        TagBool = 10,
        TagVariant = 11,
        TagInt8 = 12,
        TagInt16 = 13,
        TagInt64 = 14,
        TagGuid = 15,
        TagSystemTime = 16,
    };
    // Deepest nesting of arrays and embedded objects that a reader follows.
    static constexpr int kMaxNesting = 64;

    explicit CArchive(ULONG mode);
    virtual ~CArchive() = default;
    CArchive(const CArchive&) = delete;
    CArchive& operator=(const CArchive&) = delete;

    // The medium's primitives.
    // A stream over the next size bytes of the medium; the position moves past them.
    virtual BOOL OpenSubStream(ULONG size, BOOL forWriting, IByteStream** stream);
    virtual BOOL Read(void* buffer, ULONG count) = 0;
    virtual BOOL Write(const void* data, ULONG count) = 0;
    virtual BOOL GetPosition(ULONGLONG* position) = 0;
    virtual BOOL SetPosition(ULONGLONG position) = 0;

    // Core records. WriteValue needs writing mode, the readers reading mode.
    BOOL WriteValue(BYTE tag, const void* data, ULONG size);
    BOOL ReadValue(BYTE expectedTag, void* buffer, ULONG bufferSize, ULONG* size);
    BOOL ReadValue(BYTE expectedTag, void* buffer, ULONG bufferSize);
    // The next record's tag and data size; the position stays where it was.
    BOOL PeekValue(BYTE* tag, ULONG* size);
    BOOL GetNextValueSize(ULONG* size);
    static ULONG GetFixedSize(BYTE tag);
    static BOOL IsFixedSize(BYTE tag);

    BOOL WriteVariant(const VARIANT& value);
    BOOL ReadVariant(VARIANT* value);
    // An embedded stream as a tag-9 record: the caller writes exactly n bytes through the stream.
    BOOL WriteStreamValue(ULONG n, IByteStream** stream);
    // A stream over the data of the next tag-9 record.
    BOOL ReadStreamValue(IByteStream** stream);

    // Typed records.
    BOOL WriteUInt8(BYTE v) { return WriteValue(TagUInt8, &v, 1); }
    BOOL WriteUInt16(USHORT v) { return WriteValue(TagUInt16, &v, 2); }
    BOOL WriteUInt32(ULONG v) { return WriteValue(TagUInt32, &v, 4); }
    BOOL WriteUInt64(ULONGLONG v) { return WriteValue(TagUInt64, &v, 8); }
    BOOL WriteDouble(double v) { return WriteValue(TagDouble, &v, 8); }
    BOOL WriteLong(LONG v) { return WriteValue(TagLong, &v, 4); }
    BOOL WriteBool(BYTE v) { return WriteValue(TagBool, &v, 1); }
    BOOL WriteInt8(signed char v) { return WriteValue(TagInt8, &v, 1); }
    BOOL WriteInt16(SHORT v) { return WriteValue(TagInt16, &v, 2); }
    BOOL WriteInt64(LONGLONG v) { return WriteValue(TagInt64, &v, 8); }
    BOOL WriteGuid(const GUID* v) { return WriteValue(TagGuid, v, 16); }
    BOOL WriteSystemTime(const SYSTEMTIME* v) { return WriteValue(TagSystemTime, v, 16); }
    BOOL WriteString(const char* text);
    BOOL WriteString(const std::string& text);
    BOOL WriteWString(const wchar_t* text);
    BOOL WriteWString(const std::wstring& text);
    BOOL WriteBlob(const void* data, ULONG size) { return WriteValue(TagBlob, data, size); }
    BOOL WriteBlob(const qkMemory& block) { return WriteValue(TagBlob, block.GetData(), block.GetSize()); }

    BOOL ReadUInt8(BYTE* v) { return ReadValue(TagUInt8, v, 1); }
    BOOL ReadUInt16(USHORT* v) { return ReadValue(TagUInt16, v, 2); }
    BOOL ReadUInt32(ULONG* v) { return ReadValue(TagUInt32, v, 4); }
    BOOL ReadUInt64(ULONGLONG* v) { return ReadValue(TagUInt64, v, 8); }
    BOOL ReadDouble(double* v) { return ReadValue(TagDouble, v, 8); }
    BOOL ReadLong(LONG* v) { return ReadValue(TagLong, v, 4); }
    BOOL ReadBool(BYTE* v) { return ReadValue(TagBool, v, 1); }
    BOOL ReadInt8(signed char* v) { return ReadValue(TagInt8, v, 1); }
    BOOL ReadInt16(SHORT* v) { return ReadValue(TagInt16, v, 2); }
    BOOL ReadInt64(LONGLONG* v) { return ReadValue(TagInt64, v, 8); }
    BOOL ReadGuid(GUID* v) { return ReadValue(TagGuid, v, 16); }
    BOOL ReadSystemTime(SYSTEMTIME* v) { return ReadValue(TagSystemTime, v, 16); }
    // Into the caller's buffer: size in characters (ANSI) or bytes (wide).
    BOOL ReadString(char* buffer, ULONG size) { return ReadValue(TagString, buffer, size); }
    BOOL ReadWString(wchar_t* buffer, ULONG byteSize) { return ReadValue(TagWString, buffer, byteSize); }
    BOOL ReadString(std::string& text);
    BOOL ReadWString(std::wstring& text);
    BOOL ReadBlob(void* buffer, ULONG size, ULONG* read = nullptr) { return ReadValue(TagBlob, buffer, size, read); }
    BOOL ReadBlob(qkMemory& block);

    ULONG GetMode() const { return m_mode; }
    // Encoded bytes of the values that succeeded so far.
    ULONGLONG GetByteCount() const { return m_byteCount; }
    BOOL GetStartPosition(ULONGLONG* position) const;

    // TRUE when the medium holds at least count more bytes from the position (the position is
    // left where it was). Lets a reader refuse a length before allocating for it.
    BOOL CanRead(ULONGLONG count);
    // Promises count bytes of the input still to come to values about to be read: FALSE, and
    // nothing promised, when the medium does not hold them beyond what is promised already.
    BOOL Promise(ULONGLONG count);
    // Takes back count promised bytes: their value is being read now, or will not be.
    void Redeem(ULONGLONG count);

protected:
    // Records the start position now (a medium attached at a known position).
    void RecordStart(ULONGLONG position)
    {
        m_startRecorded = true;
        m_startPosition = position;
    }

private:
    BOOL BeginValue(ULONGLONG* position);
    void Restore(ULONGLONG position);
    BOOL ReadRecordHeader(BYTE* tag, ULONG* size);
    // Reads the next record of the tag into a block of its own size (the length checked first).
    BOOL ReadSizedRecord(BYTE tag, qkMemory& block, ULONG* size);
    struct BodyIo;
    // Writes a variant body, adding its bytes to count.
    BOOL WriteVariantBody(const VARIANT& value, int depth, ULONG* count);
    BOOL WriteVariantData(const VARIANT& value, int depth, BodyIo& io);
    BOOL ReadVariantData(VARIANT* value, int depth, BodyIo& io);
    // CanRead of count bytes after the bytes promised to elements still to come.
    BOOL CanReadBeyondPromised(ULONGLONG count);
    static BOOL IsWritable(const VARIANT& value, int depth);

    ULONG m_mode;
    ULONGLONG m_byteCount = 0;
    bool m_startRecorded = false;
    ULONGLONG m_startPosition = 0;
    // Input promised to values that are not read yet (variant array elements, collection
    // entries); every length read must leave it.
    ULONGLONG m_promised = 0;
};

} // namespace qkLib
