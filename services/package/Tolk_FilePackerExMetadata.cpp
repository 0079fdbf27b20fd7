// Package header and archive records: readers of the legacy and version-5 forms, writers of the
// version-5 form.
#include "common/errors/qkLog.h"
#include "services/package/Tolk_FilePackerEx.h"

#include <cstring>
#include <new>

namespace Tolk {

const GUID ManifestArchiveType = {0xEB5654DC, 0x1A46, 0x4B35, {0x93, 0x59, 0x4B, 0xD2, 0x6D, 0x90, 0x19, 0x3B}};
const wchar_t* const ManifestArchiveId = L"VekManifest.js";

namespace {

// A legacy record names its type by index into this table.
const GUID LegacyTypes[CFilePackerEx::LegacyTypeCount] = {
    {0x9A44111C, 0xA2AF, 0x4E8E, {0x9C, 0xD4, 0x69, 0x72, 0x51, 0x03, 0x50, 0xD2}},
    {0xC778D87B, 0x1C49, 0x4171, {0x82, 0x42, 0x4F, 0xE9, 0x3B, 0x6B, 0x33, 0xD5}},
    ManifestArchiveType,
    {0x647FF89C, 0xCD63, 0x4CAD, {0xB1, 0xE2, 0xDB, 0x9C, 0x2C, 0x28, 0x2D, 0xCC}},
    {0x79810F9A, 0xFC76, 0x4008, {0x8F, 0xAC, 0xC7, 0x74, 0xA7, 0xDA, 0x7D, 0x99}},
    {0x72C8A6CB, 0x3E8C, 0x4F52, {0x95, 0x0D, 0xB9, 0xED, 0x08, 0xE1, 0xDA, 0x7B}},
    {0xEF7A5DEB, 0xAD06, 0x4F70, {0x9E, 0x6E, 0xC4, 0x6B, 0x14, 0x50, 0xE2, 0x07}},
    {0x0F25C383, 0x3C18, 0x4680, {0xBE, 0xAE, 0x4E, 0x67, 0x60, 0xDD, 0xBD, 0x92}},
    {0x09E8A2EA, 0xE4F2, 0x481D, {0xB9, 0x80, 0x81, 0x7C, 0x64, 0x2E, 0x5C, 0xE4}},
    {0xF0E37E81, 0x579E, 0x4894, {0x99, 0x11, 0x5B, 0x9F, 0x83, 0x8D, 0xDF, 0x9C}},
};

constexpr uint8_t TagUInt32 = 3; // qkLib::CArchive::eUInt32Data
constexpr uint8_t TagUInt64 = 4;
constexpr uint8_t TagWString = 8; // qkLib::CArchive::eWStringData

const HRESULT HrEof = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
const HRESULT HrBadFormat = HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
const HRESULT HrBadVersion = static_cast<HRESULT>(0x80070309); // a version newer than ours

// An exact read that also stops at the package's end.
HRESULT ReadInPackage(CFileStream& stream, void* buffer, uint64_t n, uint64_t packageEnd)
{
    uint64_t position = 0;
    if (!stream.GetPosition(position)) {
        return stream.GetLastErrorResult();
    }
    if (position >= packageEnd || n > packageEnd - position) {
        return HrEof;
    }
    return stream.ReadExact(buffer, static_cast<uint32_t>(n));
}

template <typename T>
HRESULT ReadValue(CFileStream& stream, T& value, uint64_t packageEnd)
{
    return ReadInPackage(stream, &value, sizeof(T), packageEnd);
}

void Append(std::vector<uint8_t>& out, const void* data, size_t n)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    out.insert(out.end(), bytes, bytes + n);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// CArchiveInfo

HRESULT CFilePackerEx::CArchiveInfo::Deserialize_legacy(CFileStream& stream, uint64_t packageEnd)
{
    uint8_t tag = 0;
    HRESULT hr = ReadValue(stream, tag, packageEnd);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Read fiels 1 failed. HRESULT 0x%08x", hr);
        return hr;
    }
    if (tag != TagWString) {
        QK_LOG_ERROR(L"Unexpected type value: Expected 0x%02x (qkLib::CArchive::eWStringData), actual 0x%02x",
                     TagWString, tag);
        return HrBadFormat;
    }
    uint32_t idBytes = 0;
    hr = ReadValue(stream, idBytes, packageEnd);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Read fiels 2 failed. HRESULT 0x%08x", hr);
        return hr;
    }
    // The id is UTF-16 with its NUL: an odd length, a length past the package's end or an id
    // without a NUL is a corrupt record, refused before anything is allocated or read.
    uint64_t position = 0;
    if (!stream.GetPosition(position)) {
        return stream.GetLastErrorResult();
    }
    if (idBytes == 0 || (idBytes % 2) != 0 || position > packageEnd || idBytes > packageEnd - position) {
        QK_LOG_ERROR(L"Corrupt archive id length %u", idBytes);
        return HrBadFormat;
    }
    std::wstring text;
    try {
        text.resize(idBytes / 2);
    } catch (const std::bad_alloc&) {
        QK_LOG_ERROR(L"Out of Memory");
        return E_OUTOFMEMORY;
    }
    hr = ReadInPackage(stream, text.data(), idBytes, packageEnd);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Read fiels 3 failed. HRESULT 0x%08x", hr);
        return hr;
    }
    const auto nul = text.find(L'\0');
    if (nul == std::wstring::npos) {
        QK_LOG_ERROR(L"Archive id without terminating NUL");
        return HrBadFormat;
    }
    text.resize(nul);

    hr = ReadValue(stream, tag, packageEnd);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Read fiels 4 failed. HRESULT 0x%08x", hr);
        return hr;
    }
    if (tag != TagUInt64) {
        QK_LOG_ERROR(L"Unexpected type value: Expected 0x%02x (64-bit value), actual 0x%02x", TagUInt64, tag);
        return HrBadFormat;
    }
    uint64_t size64 = 0;
    hr = ReadValue(stream, size64, packageEnd);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Read fiels 5 failed. HRESULT 0x%08x", hr);
        return hr;
    }
    hr = ReadValue(stream, tag, packageEnd);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Read fiels 6 failed. HRESULT 0x%08x", hr);
        return hr;
    }
    if (tag != TagUInt32) {
        QK_LOG_ERROR(L"Unexpected type value: Expected 0x%02x (qkLib::CArchive::eUInt32Data), actual 0x%02x", TagUInt32,
                     tag);
        return HrBadFormat;
    }
    uint32_t typeIndex = 0;
    hr = ReadValue(stream, typeIndex, packageEnd);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Read fiels 7 failed. HRESULT 0x%08x", hr);
        return hr;
    }
    if (typeIndex >= LegacyTypeCount) {
        QK_LOG_ERROR(L"Unexpected legacy type %d", typeIndex);
        return HrBadFormat;
    }
    id = std::move(text);
    size = static_cast<uint32_t>(size64);
    type = LegacyTypes[typeIndex];
    QK_LOG_INFO(L"Segment header %ls Deserialized", id.c_str());
    return S_OK;
}

HRESULT CFilePackerEx::CArchiveInfo::Deserialize(CFileStream& stream, uint64_t packageEnd)
{
    uint64_t position = 0;
    if (!stream.GetPosition(position)) {
        const HRESULT hr = stream.GetLastErrorResult();
        QK_LOG_ERROR(L"Failed to get position. HRESULT 0x%08x", hr);
        return hr;
    }
    uint32_t idLength = 0;
    HRESULT hr = ReadValue(stream, idLength, packageEnd);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Failed to read id size. HRESULT 0x%08x", hr);
        return hr;
    }
    // Bounded before allocating: a huge length is an end-of-package read failure.
    const uint64_t idBytes = static_cast<uint64_t>(idLength) * 2;
    if (!stream.GetPosition(position)) {
        return stream.GetLastErrorResult();
    }
    std::wstring text;
    if (position > packageEnd || idBytes > packageEnd - position) {
        hr = HrEof;
    } else {
        try {
            text.resize(idLength);
        } catch (const std::bad_alloc&) {
            QK_LOG_ERROR(L"Out of Memory");
            return E_OUTOFMEMORY;
        }
        hr = idBytes == 0 ? S_OK : ReadInPackage(stream, text.data(), idBytes, packageEnd);
    }
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Failed to read archive id. HRESULT 0x%08x", hr);
        return hr;
    }
    uint32_t archiveSize = 0;
    hr = ReadValue(stream, archiveSize, packageEnd);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Failed to read archive size. HRESULT 0x%08x", hr);
        return hr;
    }
    GUID archiveType{};
    hr = ReadInPackage(stream, &archiveType, sizeof(archiveType), packageEnd);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Failed to archive type. HRESULT 0x%08x", hr);
        return hr;
    }
    id = std::move(text);
    size = archiveSize;
    type = archiveType;
    return S_OK;
}

bool CFilePackerEx::CArchiveInfo::Serialize(std::vector<uint8_t>* out) const
{
    if (out == nullptr) {
        return false;
    }
    if (id.empty()) {
        QK_LOG_ERROR(L"Failed to write archive id. HRESULT 0x%08x", E_INVALIDARG);
        return false;
    }
    const uint32_t length = static_cast<uint32_t>(id.size());
    Append(*out, &length, sizeof(length));
    Append(*out, id.data(), id.size() * sizeof(wchar_t));
    Append(*out, &size, sizeof(size));
    Append(*out, &type, sizeof(type));
    return true;
}

// ---------------------------------------------------------------------------------------------
// CPackageHeader

HRESULT CFilePackerEx::CPackageHeader::Deserialize(CFileStream* stream)
{
    if (stream == nullptr) {
        return E_POINTER;
    }
    uint64_t start = 0; // only checked: the records' offsets are absolute
    if (!stream->GetPosition(start)) {
        const HRESULT hr = stream->GetLastErrorResult();
        QK_LOG_ERROR(L"Failed to get position. HRESULT 0x%08x", hr);
        return hr;
    }
    uint32_t magic = 0;
    HRESULT hr = ReadValue(*stream, magic, m_packageEnd);
    if (hr == HrEof) {
        return S_FALSE;
    }
    if (FAILED(hr)) {
        return hr;
    }
    if (magic != Magic) {
        return HrBadFormat;
    }
    hr = ReadValue(*stream, version, m_packageEnd);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Read package version failed. HRESULT 0x%08x", hr);
        return hr;
    }
    if (version > CurrentVersion) {
        QK_LOG_ERROR(L"Invalid package version %d. Current version is %d", version, CurrentVersion);
        return HrBadVersion;
    }
    const bool legacy = version < CurrentVersion;
    uint32_t count = 0;
    if (legacy) {
        uint64_t count64 = 0;
        hr = ReadValue(*stream, count64, m_packageEnd);
        if (FAILED(hr)) {
            QK_LOG_ERROR(L"Read legacy number of archives failed. HRESULT 0x%08x", hr);
            return hr;
        }
        count = static_cast<uint32_t>(count64);
        uint32_t recordsSize = 0; // not needed: records are parsed one by one
        hr = ReadValue(*stream, recordsSize, m_packageEnd);
        if (FAILED(hr)) {
            QK_LOG_ERROR(L"Read legacy size of archives info failed. HRESULT 0x%08x", hr);
            return hr;
        }
    } else {
        hr = ReadValue(*stream, count, m_packageEnd);
        if (FAILED(hr)) {
            QK_LOG_ERROR(L"Read number of archives failed. HRESULT 0x%08x", hr);
            return hr;
        }
    }

    // A huge count runs into the package's end after a few records; the vector grows only with
    // records actually read.
    for (uint32_t i = 0; i < count; ++i) {
        CArchiveInfo info;
        hr = legacy ? info.Deserialize_legacy(*stream, m_packageEnd) : info.Deserialize(*stream, m_packageEnd);
        if (FAILED(hr)) {
            return hr;
        }
        records.push_back(std::move(info));
    }

    uint64_t data = 0;
    if (!stream->GetPosition(data)) {
        hr = stream->GetLastErrorResult();
        QK_LOG_ERROR(L"Failed to get position. HRESULT 0x%08x", hr);
        return hr;
    }
    for (auto& record : records) {
        record.dataOffset = static_cast<uint32_t>(data);
        const uint64_t behind = data + record.size;
        if (legacy) {
            // The legacy form has no marker to check: an archive that would run past the
            // package's end (or past 4 GiB) is refused here rather than read later.
            if (behind > m_packageEnd || behind > UINT32_MAX) {
                QK_LOG_ERROR(L"Package is corrupted");
                return HrBadFormat;
            }
            data = behind;
            continue;
        }
        if (!stream->SetPosition(behind)) {
            hr = stream->GetLastErrorResult();
            QK_LOG_ERROR(L"Failed to set position to %d. HRESULT 0x%08x", static_cast<uint32_t>(behind), hr);
            return hr;
        }
        uint32_t marker = 0;
        hr = ReadValue(*stream, marker, m_packageEnd);
        if (FAILED(hr)) {
            QK_LOG_ERROR(L"Failed to read stream. HRESULT 0x%08x", hr);
            return hr;
        }
        if (marker != EndMarker) {
            QK_LOG_ERROR(L"Package is corrupted");
            return HrBadFormat;
        }
        data = behind + sizeof(marker);
        if (data > UINT32_MAX) {
            QK_LOG_ERROR(L"Package is corrupted");
            return HrBadFormat;
        }
    }
    (void)start;
    return S_OK;
}

bool CFilePackerEx::CPackageHeader::Serialize(std::vector<uint8_t>* out) const
{
    if (out == nullptr) {
        return false;
    }
    const uint32_t fields[3] = {Magic, CurrentVersion, static_cast<uint32_t>(records.size())};
    Append(*out, fields, sizeof(fields));
    for (const auto& record : records) {
        if (!record.Serialize(out)) {
            return false;
        }
    }
    return true;
}

const CFilePackerEx::CArchiveInfo* CFilePackerEx::CPackageHeader::FindManifestArchive() const
{
    for (const auto& record : records) {
        if (IsEqualGUID(record.type, ManifestArchiveType) && record.id == ManifestArchiveId) {
            return &record;
        }
    }
    return nullptr;
}

bool CFilePackerEx::CPackageHeader::GetManifestArchiveInfo(CArchiveInfo& info) const
{
    const CArchiveInfo* found = FindManifestArchive();
    if (found == nullptr) {
        return false;
    }
    info = *found;
    return true;
}

} // namespace Tolk
