#include "common/diag/qkTalErrorInstanceStore.h"

#include <cstring>

#include "common/base/qkCrc32.h"
#include "common/base/qkExceptionInfo.h"
#include "common/base/qkScopedLock.h"
#include "common/base/qkTrace.h"
#include "common/objects/qkQueryInterface.h"
#include "common/objects/qkInstanceFactory.h"
#include "common/persist/ISerializable.h"
#include "common/persist/IStringObject.h"
#include "common/persist/qkTalFileStreamImpl.h"
#include "common/persist/qkTalKeyValueCollectionImpl.h"
#include "common/persist/qkTalMemoryStreamImpl.h"
#include "common/persist/qkTalStringImpl.h"
#include "common/base/qkLastError.h"

using Microsoft::WRL::ComPtr;

namespace {
constexpr DWORD kFormatVersion = 2;
constexpr DWORD kFlagScrambled = 1;
const HRESULT kCorrupt = HRESULT_FROM_WIN32(ERROR_FILE_CORRUPT);
const HRESULT kReadOnly = HRESULT_FROM_WIN32(ERROR_FILE_READ_ONLY);

// The header's CRC is its last word and covers the 36 bytes before it.
DWORD HeaderCrc(const void* header)
{
    return qkLib::HeaderCrc(header, 36, 36);
}

// A memory stream over a copy of the bytes, positioned at 0.
HRESULT StreamOver(const BYTE* data, DWORD size, ComPtr<IByteStream>& stream)
{
    ComPtr<qkTalMemoryStreamImpl> memory;
    qkAdopt(memory, qkTalMemoryStreamImpl::Create());
    if (!memory)
        return E_OUTOFMEMORY;
    if (size && (!memory->Write(data, size) || !memory->SetPosition(0)))
        return E_OUTOFMEMORY;
    stream = memory;
    return S_OK;
}
} // namespace

qkTalErrorInstanceStore::qkTalErrorInstanceStore() : qkDataStore(kStoreSignature, 0, kRecordSignature, 0) {}

qkTalErrorInstanceStore::~qkTalErrorInstanceStore()
{
    Close();
}

void qkTalErrorInstanceStore::Scramble(void* data, size_t size)
{
    BYTE* bytes = static_cast<BYTE*>(data);
    for (size_t i = 0; i < size; ++i)
        bytes[i] ^= static_cast<BYTE>(kScrambleKey[i % 32]);
}

HRESULT qkTalErrorInstanceStore::CheckHeader(const Header& header)
{
    if (header.version != 1 && header.version != 2)
        return E_FAIL;
    if (header.kind < KindMain || header.kind > KindAttachment || HeaderCrc(&header) != header.headerCrc)
        return kCorrupt;
    return S_OK;
}

bool qkTalErrorInstanceStore::FitsRecord(const Header& header, DWORD recordSize)
{
    const ULONGLONG descriptorEnd = ULONGLONG(header.descriptorOffset) + header.descriptorLength;
    const ULONGLONG payloadEnd = ULONGLONG(header.payloadOffset) + header.payloadLength;
    if (header.payloadLength == 0 || payloadEnd > recordSize || header.payloadOffset < kHeaderSize)
        return false;
    if (header.descriptorLength && (header.descriptorOffset < kHeaderSize || descriptorEnd > header.payloadOffset))
        return false;
    return true;
}

HRESULT qkTalErrorInstanceStore::FailedOpen()
{
    const HRESULT hr = qkLib::Win32ErrorResult(qkDataStore::GetLastError());
    qkDataStore::Close();
    m_path.clear();
    m_user = {};
    m_options = 0;
    m_attachments.clear();
    return hr;
}

HRESULT qkTalErrorInstanceStore::Open(const OpenParams& params)
{
    if (!params.path || ((params.options & OptionMark) != 0) != ((params.options & OptionMarkCheck) != 0))
        return E_INVALIDARG;
    qkExceptionInfo info;
    HRESULT hr = E_FAIL;
    try {
        qkScopedLock lock(m_storeLock);
        Close();
        DisableChecksums();
        m_options = params.options;
        if (params.disposition == 0 || params.disposition > OPEN_ALWAYS)
            return E_INVALIDARG;
        if (!qkDataStore::Open(params.path, params.access, params.shareMode, params.security, params.disposition,
                               params.flagsAndAttributes, 0, kUserHeaderSize)) {
            hr = FailedOpen();
            QK_TRACE(L"opening %s failed, hr 0x%08X", params.path, hr);
            return hr;
        }
        if (params.disposition == CREATE_NEW || params.disposition == CREATE_ALWAYS) {
            m_user = {};
            m_user.words[6] = kFormatVersion;
            m_user.words[7] = (params.options & OptionMark) ? 1 : 0;
            hr = WriteUserHeader();
            if (FAILED(hr)) {
                qkDataStore::Close();
                m_user = {};
                return hr;
            }
        }
        m_path = params.path;
        hr = S_OK;
    }
    QK_CATCH(info)
    if (info.HasError()) {
        QK_TRACE(L"%s", info.GetFullText());
        qkDataStore::Close();
        return E_OUTOFMEMORY;
    }
    return hr;
}

void qkTalErrorInstanceStore::Close()
{
    qkExceptionInfo info;
    try {
        qkScopedLock lock(m_storeLock);
        if (IsOpen() && !qkDataStore::Close())
            QK_TRACE(L"closing %s failed, error %lu", m_path.c_str(), qkDataStore::GetLastError());
        m_path.clear();
        m_user = {};
        m_options = 0;
        m_main.Reset();
        m_propertyList.Reset();
        m_descriptor.Reset();
        m_attachments.clear();
    }
    QK_CATCH(info)
    if (info.HasError())
        QK_TRACE(L"%s", info.GetFullText());
}

HRESULT qkTalErrorInstanceStore::GetPath(std::wstring& path)
{
    qkExceptionInfo info;
    try {
        qkScopedLock lock(m_storeLock);
        path = m_path;
    }
    QK_CATCH(info)
    return info.HasError() ? E_OUTOFMEMORY : S_OK;
}

HRESULT qkTalErrorInstanceStore::WriteUserHeader()
{
    m_user.words[9] = HeaderCrc(&m_user);
    if (!qkDataStore::WriteUserHeader(0, &m_user, sizeof(m_user)))
        return qkLib::Win32ErrorResult(qkDataStore::GetLastError());
    return S_OK;
}

BOOL qkTalErrorInstanceStore::Verify()
{
    UserHeader user{};
    if (!ReadUserHeader(0, &user, sizeof(user)))
        return FALSE;
    if ((user.words[6] != 1 && user.words[6] != 2) || HeaderCrc(&user) != user.words[9]) {
        QK_TRACE(L"user header refused (version %lu)", user.words[6]);
        return Fail(ERROR_FILE_CORRUPT);
    }
    m_user = user;
    m_attachments.clear();
    return qkDataStore::Verify();
}

BOOL qkTalErrorInstanceStore::OnVerifyRecord(const RecordHeader& record, const void* data, DWORD size)
{
    if (!data || size == 0)
        return TRUE;
    if (size < kHeaderSize)
        return Fail(ERROR_FILE_CORRUPT);
    Header header;
    std::memcpy(&header, data, sizeof(header));
    const HRESULT hr = CheckHeader(header);
    if (FAILED(hr))
        return Fail(hr == kCorrupt ? ERROR_FILE_CORRUPT : ERROR_INVALID_DATA);
    if (header.kind == KindAttachment && (m_options & OptionAttachmentIndex)) {
        HRESULT indexed = E_OUTOFMEMORY;
        qkExceptionInfo info;
        try {
            indexed = AddIndexEntry(record.id, static_cast<const BYTE*>(data), size);
        }
        QK_CATCH(info)
        if (FAILED(indexed)) {
            QK_TRACE(L"attachment at %llu not indexed, hr 0x%08X", record.id, indexed);
            return Fail(indexed == E_OUTOFMEMORY ? ERROR_NOT_ENOUGH_MEMORY : ERROR_FILE_CORRUPT);
        }
    }
    return TRUE;
}

HRESULT qkTalErrorInstanceStore::LoadDescriptor(const BYTE* data, DWORD size, std::wstring& name, std::wstring& type)
{
    ComPtr<IByteStream> stream;
    HRESULT hr = StreamOver(data, size, stream);
    if (FAILED(hr))
        return hr;
    ComPtr<IKeyValueCollection> descriptor;
    qkAdopt(descriptor, qkTalKeyValueCollectionImpl::Create());
    if (!descriptor)
        return E_OUTOFMEMORY;
    ComPtr<ISerializable> persist;
    if (FAILED(qkQueryInterface(descriptor.Get(), IID_ISerializable, persist)))
        return E_NOINTERFACE;
    if (!persist->Load(stream.Get()))
        return kCorrupt;
    ComPtr<IUnknown> nameObject, typeObject;
    ComPtr<IStringObject> nameText, typeText;
    if (!descriptor->GetObject(0, &nameObject) || !descriptor->GetObject(1, &typeObject) ||
        FAILED(qkQueryInterface(nameObject.Get(), CLSID_qkTalString, nameText)) ||
        FAILED(qkQueryInterface(typeObject.Get(), CLSID_qkTalString, typeText)))
        return E_UNEXPECTED;
    if (!qkLib::GetStringObjectText(nameText.Get(), name) || !qkLib::GetStringObjectText(typeText.Get(), type))
        return E_OUTOFMEMORY;
    return S_OK;
}

HRESULT qkTalErrorInstanceStore::AddIndexEntry(ULONGLONG id, const BYTE* data, DWORD size)
{
    Header header;
    std::memcpy(&header, data, sizeof(header));
    if (header.descriptorLength == 0 || header.payloadLength == 0 || !FitsRecord(header, size))
        return kCorrupt;
    std::vector<BYTE> descriptor(data + header.descriptorOffset,
                                 data + header.descriptorOffset + header.descriptorLength);
    if (header.flags & kFlagScrambled)
        Scramble(descriptor.data(), descriptor.size());
    if (header.version > 1 && qkLib::Crc32(descriptor.data(), header.descriptorLength) != header.descriptorCrc)
        return kCorrupt;
    Attachment entry;
    const HRESULT hr = LoadDescriptor(descriptor.data(), header.descriptorLength, entry.name, entry.type);
    if (FAILED(hr))
        return hr;
    entry.recordId = id;
    entry.payloadOffset = header.payloadOffset;
    entry.payloadLength = header.payloadLength;
    entry.headerCrc = header.headerCrc;
    m_attachments.push_back(std::move(entry));
    return S_OK;
}

HRESULT qkTalErrorInstanceStore::SaveToBuffer(IUnknown* collection, std::vector<BYTE>& record)
{
    ComPtr<ISerializable> persist;
    if (!collection ||
        FAILED(collection->QueryInterface(IID_ISerializable, reinterpret_cast<void**>(persist.GetAddressOf()))))
        return E_NOINTERFACE;
    ULONGLONG size = 0;
    if (!persist->GetSize(&size))
        return E_UNEXPECTED;
    if (size == 0 || size > 0x7FFFFFFF - 2 * kHeaderSize)
        return E_UNEXPECTED;
    ComPtr<qkTalMemoryStreamImpl> stream;
    qkAdopt(stream, qkTalMemoryStreamImpl::Create());
    if (!stream)
        return E_OUTOFMEMORY;
    if (!stream->SetSize(size + kHeaderSize) || !stream->SetPosition(kHeaderSize))
        return E_OUTOFMEMORY;
    if (!persist->Save(stream.Get()))
        return E_FAIL;
    ULONGLONG end = 0, total = 0;
    if (!stream->GetPosition(&end) || !stream->GetSize(&total) || end != size + kHeaderSize || total != end)
        return E_UNEXPECTED;
    record.resize(static_cast<size_t>(total));
    if (!stream->SetPosition(0) || !stream->Read(record.data(), static_cast<ULONG>(total)))
        return E_UNEXPECTED;
    return S_OK;
}

HRESULT qkTalErrorInstanceStore::WriteCollectionRecord(IUnknown* collection, DWORD kind, DWORD idWord)
{
    if (!IsOpenForWrite())
        return kReadOnly;
    std::vector<BYTE> record;
    HRESULT hr = SaveToBuffer(collection, record);
    if (FAILED(hr))
        return hr;
    const DWORD n = static_cast<DWORD>(record.size() - kHeaderSize);
    Header header{};
    header.version = kFormatVersion;
    header.flags = kFlagScrambled;
    header.kind = kind;
    header.payloadOffset = kHeaderSize;
    header.payloadLength = n;
    header.payloadCrc = qkLib::Crc32(record.data() + kHeaderSize, n);
    header.headerCrc = HeaderCrc(&header);
    Scramble(record.data() + kHeaderSize, n);
    std::memcpy(record.data(), &header, sizeof(header));

    const UserHeader before = m_user;
    ULONGLONG id = m_user.words[idWord] | (ULONGLONG(m_user.words[idWord + 1]) << 32);
    const bool update = id != 0;
    const BOOL written = update ? UpdateRecord(&id, record.data(), static_cast<DWORD>(record.size()))
                                : AddRecord(record.data(), static_cast<DWORD>(record.size()), &id);
    if (!written)
        return qkLib::Win32ErrorResult(qkDataStore::GetLastError());
    m_user.words[idWord] = static_cast<DWORD>(id);
    m_user.words[idWord + 1] = static_cast<DWORD>(id >> 32);
    hr = WriteUserHeader();
    if (FAILED(hr)) {
        if (!update) {
            // A fresh record is taken out again.
            m_user = before;
            if (!DeleteRecord(id))
                QK_TRACE(L"deleting record %llu failed, error %lu", id, qkDataStore::GetLastError());
        }
        // An updated record holds the only copy of its data (its old place may be reused): it
        // stays, and the header in memory keeps its id for a later rewrite.
        return hr;
    }
    return S_OK;
}

HRESULT qkTalErrorInstanceStore::SaveMainRecord(IKeyValueCollection* collection)
{
    qkExceptionInfo info;
    HRESULT hr = E_OUTOFMEMORY;
    try {
        qkScopedLock lock(m_storeLock);
        if (m_user.words[0] != 0 || m_user.words[1] != 0)
            return E_FAIL;
        hr = WriteCollectionRecord(collection, KindMain, 0);
        if (SUCCEEDED(hr))
            m_main = collection;
    }
    QK_CATCH(info)
    return info.HasError() ? E_OUTOFMEMORY : hr;
}

HRESULT qkTalErrorInstanceStore::SavePropertyList(IIndexValueCollection* collection)
{
    qkExceptionInfo info;
    HRESULT hr = E_OUTOFMEMORY;
    try {
        qkScopedLock lock(m_storeLock);
        hr = WriteCollectionRecord(collection, KindPropertyList, 4);
        if (SUCCEEDED(hr))
            m_propertyList = collection;
    }
    QK_CATCH(info)
    return info.HasError() ? E_OUTOFMEMORY : hr;
}

HRESULT qkTalErrorInstanceStore::ReadRecordBytes(ULONGLONG id, std::vector<BYTE>& data, Header& header)
{
    DWORD size = 0;
    if (!GetRecordSize(id, &size))
        return qkLib::Win32ErrorResult(qkDataStore::GetLastError());
    if (size < kHeaderSize)
        return kCorrupt;
    if (!ReadRecord(id, &header, sizeof(header)))
        return qkLib::Win32ErrorResult(qkDataStore::GetLastError());
    HRESULT hr = CheckHeader(header);
    if (FAILED(hr))
        return hr;
    if (!FitsRecord(header, size))
        return kCorrupt;
    data.resize(size);
    if (!ReadRecord(id, data.data(), size))
        return qkLib::Win32ErrorResult(qkDataStore::GetLastError());
    // The header read with the whole record must be the one checked.
    if (std::memcmp(data.data(), &header, sizeof(header)) != 0)
        return kCorrupt;
    return S_OK;
}

HRESULT qkTalErrorInstanceStore::LoadCollectionRecord(ULONGLONG id, DWORD kind, REFGUID objectId, REFIID iid,
                                                      void** collection)
{
    std::vector<BYTE> data;
    Header header{};
    HRESULT hr = ReadRecordBytes(id, data, header);
    if (FAILED(hr))
        return hr;
    if (header.kind != kind || header.descriptorLength != 0)
        return kCorrupt;
    BYTE* payload = data.data() + header.payloadOffset;
    if (header.flags & kFlagScrambled)
        Scramble(payload, header.payloadLength);
    if (qkLib::Crc32(payload, header.payloadLength) != header.payloadCrc)
        return kCorrupt;
    IInstanceFactory* factory = qkInstanceFactory::GetInstanceFactory();
    if (!factory)
        return E_OUTOFMEMORY;
    ComPtr<IUnknown> object;
    hr = factory->CreateInstance(objectId, IID_IUnknown, reinterpret_cast<void**>(object.GetAddressOf()));
    if (FAILED(hr))
        return hr;
    ComPtr<ISerializable> persist;
    if (FAILED(qkQueryInterface(object.Get(), IID_ISerializable, persist)))
        return E_NOINTERFACE;
    ComPtr<IByteStream> stream;
    hr = StreamOver(payload, header.payloadLength, stream);
    if (FAILED(hr))
        return hr;
    if (!persist->Load(stream.Get()))
        return kCorrupt;
    return SUCCEEDED(object->QueryInterface(iid, collection)) ? S_OK : E_NOINTERFACE;
}

HRESULT qkTalErrorInstanceStore::LoadPropertyList(IIndexValueCollection** collection)
{
    if (!collection)
        return E_POINTER;
    *collection = nullptr;
    qkExceptionInfo info;
    HRESULT hr = E_OUTOFMEMORY;
    try {
        qkScopedLock lock(m_storeLock);
        const ULONGLONG id = m_user.words[4] | (ULONGLONG(m_user.words[5]) << 32);
        if (id == 0)
            return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
        if (!m_propertyList) {
            hr = LoadCollectionRecord(id, KindPropertyList, CLSID_qkTalIndexValueCollection,
                                      CLSID_qkTalIndexValueCollection,
                                      reinterpret_cast<void**>(m_propertyList.GetAddressOf()));
            if (FAILED(hr))
                return hr;
        }
        *collection = m_propertyList.Get();
        (*collection)->AddRef();
        hr = S_OK;
    }
    QK_CATCH(info)
    return info.HasError() ? E_OUTOFMEMORY : hr;
}

HRESULT qkTalErrorInstanceStore::LoadMainRecord(IKeyValueCollection** collection)
{
    if (!collection)
        return E_POINTER;
    *collection = nullptr;
    qkExceptionInfo info;
    HRESULT hr = E_OUTOFMEMORY;
    try {
        qkScopedLock lock(m_storeLock);
        const ULONGLONG id = m_user.words[0] | (ULONGLONG(m_user.words[1]) << 32);
        if (id == 0)
            return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
        if (!m_main) {
            hr = LoadCollectionRecord(id, KindMain, CLSID_qkTalKeyValueCollection, CLSID_qkTalKeyValueCollection,
                                      reinterpret_cast<void**>(m_main.GetAddressOf()));
            if (FAILED(hr))
                return hr;
        }
        *collection = m_main.Get();
        (*collection)->AddRef();
        hr = S_OK;
    }
    QK_CATCH(info)
    return info.HasError() ? E_OUTOFMEMORY : hr;
}

HRESULT qkTalErrorInstanceStore::AddAttachment(const wchar_t* name, const wchar_t* type, IByteStream* source)
{
    if (!source)
        return E_INVALIDARG;
    qkExceptionInfo info;
    HRESULT hr = E_OUTOFMEMORY;
    try {
        qkScopedLock lock(m_storeLock);
        if (!IsOpenForWrite())
            return kReadOnly;
        ComPtr<IKeyValueCollection> descriptor;
        qkAdopt(descriptor, qkTalKeyValueCollectionImpl::Create());
        ComPtr<IStringObject> nameText, typeText;
        qkAdopt(nameText, qkTalStringImpl::CreateWithText(name ? name : L""));
        qkAdopt(typeText, qkTalStringImpl::CreateWithText(type ? type : L""));
        if (!descriptor || !nameText || !typeText || !descriptor->SetObject(0, nameText.Get()) ||
            !descriptor->SetObject(1, typeText.Get()))
            return E_OUTOFMEMORY;
        std::vector<BYTE> record;
        hr = SaveToBuffer(descriptor.Get(), record);
        if (FAILED(hr))
            return hr;
        const DWORD d = static_cast<DWORD>(record.size() - kHeaderSize);
        ULONGLONG s = 0;
        if (!source->GetSize(&s) || !source->SetPosition(0))
            return E_FAIL;
        if (s == 0)
            return E_INVALIDARG;
        if (s > 0x7FFFFFFF - record.size())
            return HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
        Header header{};
        header.version = kFormatVersion;
        header.flags = kFlagScrambled;
        header.kind = KindAttachment;
        header.descriptorOffset = kHeaderSize;
        header.descriptorLength = d;
        header.payloadOffset = kHeaderSize + d;
        header.payloadLength = static_cast<DWORD>(s);
        header.descriptorCrc = qkLib::Crc32(record.data() + kHeaderSize, d);
        header.headerCrc = HeaderCrc(&header);
        Scramble(record.data() + kHeaderSize, d);
        std::memcpy(record.data(), &header, sizeof(header));
        // The record is written as it is read: header and descriptor, then the payload through
        // one buffer of at most 64 KiB, each chunk scrambled from key index 0 (the chunk size is
        // a multiple of the key length, so this equals scrambling the payload as one region).
        // An attachment as large as a full-memory dump is never held in memory whole.
        const DWORD head = static_cast<DWORD>(record.size());
        std::vector<BYTE> chunk(static_cast<size_t>(s < kChunkSize ? s : kChunkSize));
        const RecordProducer copy = [&](const RecordPieceWriter& write) -> BOOL {
            if (!write(0, record.data(), head))
                return FALSE;
            for (ULONGLONG done = 0; done < s;) {
                const DWORD piece = static_cast<DWORD>(s - done < kChunkSize ? s - done : kChunkSize);
                if (!source->Read(chunk.data(), piece))
                    return FALSE;
                Scramble(chunk.data(), piece);
                if (!write(static_cast<DWORD>(head + done), chunk.data(), piece))
                    return FALSE;
                done += piece;
            }
            return TRUE;
        };
        ULONGLONG id = 0;
        if (!AddRecord(static_cast<DWORD>(head + s), copy, &id))
            return E_FAIL;
        hr = S_OK;
    }
    QK_CATCH(info)
    return info.HasError() ? E_OUTOFMEMORY : hr;
}

HRESULT qkTalErrorInstanceStore::AddDump(const wchar_t* type, const wchar_t* dumpPath)
{
    if (!dumpPath)
        return E_INVALIDARG;
    // Held until the dump is embedded: the store cannot be closed between the check and the add.
    qkScopedLock lock(m_storeLock);
    if (!IsOpenForWrite())
        return kReadOnly;
    ComPtr<qkTalFileStreamImpl> stream;
    qkAdopt(stream, qkTalFileStreamImpl::Create());
    if (!stream)
        return E_OUTOFMEMORY;
    if (!stream->GetFile().Open(dumpPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL)) {
        const DWORD error = stream->GetFile().GetLastError();
        QK_TRACE(L"opening the dump %s failed, error %lu", dumpPath, error);
        return qkLib::Win32ErrorResult(error);
    }
    const HRESULT hr = AddAttachment(L"Dump", type, stream.Get());
    return hr;
}

HRESULT qkTalErrorInstanceStore::AddCertAnalysis(IByteStream* stream)
{
    return AddAttachment(L"Cert Analysis", L"Cert Analysis", stream);
}

HRESULT qkTalErrorInstanceStore::ReadAttachment(const Attachment& attachment, std::vector<BYTE>& payload)
{
    qkExceptionInfo info;
    HRESULT hr = E_OUTOFMEMORY;
    try {
        qkScopedLock lock(m_storeLock);
        std::vector<BYTE> data;
        Header header{};
        hr = ReadRecordBytes(attachment.recordId, data, header);
        if (FAILED(hr))
            return hr;
        if (header.kind != KindAttachment || header.headerCrc != attachment.headerCrc)
            return kCorrupt;
        payload.assign(data.begin() + header.payloadOffset, data.begin() + header.payloadOffset + header.payloadLength);
        if (header.flags & kFlagScrambled)
            Scramble(payload.data(), payload.size());
        hr = S_OK;
    }
    QK_CATCH(info)
    return info.HasError() ? E_OUTOFMEMORY : hr;
}
