#include "services/package/Tolk_PEFileHelper.h"

#include "common/errors/qkLog.h"
#include "services/package/Tolk_FileStream.h"

#include <windows.h>

#include <cstring>
#include <mutex>
#include <vector>

namespace Tolk {

namespace {
constexpr uint32_t NtHeadersReadSize = 264;
constexpr uint32_t SectionHeaderSize = 40;
constexpr uint32_t OffsetOfOptionalHeader = 24; // PE signature (4) + file header (20)
} // namespace

bool CPEFileHelper::ReadHeaders(CFileStream& file)
{
    if (m_headersRead) {
        return true;
    }
    std::lock_guard<std::recursive_mutex> guard(file.Lock());

    uint64_t length = 0;
    if (!file.SetPosition(0) || !file.GetSize(length)) {
        QK_LOG_ERROR(L"CSignedPEFile::ReadHeaders() : GetLength() == FALSE");
        return false;
    }

    IMAGE_DOS_HEADER dos{};
    if (FAILED(file.ReadExact(&dos, sizeof(dos)))) {
        QK_LOG_ERROR(L"CSignedPEFile::ReadHeaders() : Read() == FALSE");
        return false;
    }
    if (dos.e_magic != IMAGE_DOS_SIGNATURE) {
        QK_LOG_ERROR(L"CSignedPEFile::ReadHeaders() : IMAGE_DOS_SIGNATURE != dosHeader.e_magic");
        return false;
    }

    std::vector<uint8_t> buffer;
    try {
        buffer.resize(NtHeadersReadSize);
    } catch (const std::bad_alloc&) {
        QK_LOG_ERROR(L"CSignedPEFile::ReadHeaders() : buffer.Alloc() == NULL");
        return false;
    }
    const uint32_t ntOffset = static_cast<uint32_t>(dos.e_lfanew);
    if (dos.e_lfanew < 0 || !file.SetPosition(ntOffset) || FAILED(file.ReadExact(buffer.data(), NtHeadersReadSize))) {
        QK_LOG_ERROR(L"CSignedPEFile::ReadHeaders() : Read() == FALSE");
        return false;
    }
    uint32_t signature = 0;
    std::memcpy(&signature, buffer.data(), sizeof(signature));
    if (signature != IMAGE_NT_SIGNATURE) {
        QK_LOG_ERROR(L"CSignedPEFile::ReadHeaders() : IMAGE_NT_SIGNATURE != pHeaders32->Signature");
        return false;
    }
    IMAGE_FILE_HEADER fileHeader{};
    std::memcpy(&fileHeader, buffer.data() + 4, sizeof(fileHeader));
    uint16_t magic = 0;
    std::memcpy(&magic, buffer.data() + OffsetOfOptionalHeader, sizeof(magic));

    uint32_t entryOffsetInHeaders = 0;
    if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        entryOffsetInHeaders = 0x98;
    } else if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        entryOffsetInHeaders = 0xA8;
    } else {
        QK_LOG_ERROR(L"CSignedPEFile::ReadHeaders() : Unknown PE header format");
        return false;
    }
    m_checkSumPosition = ntOffset + 0x58;
    m_certEntryPosition = ntOffset + entryOffsetInHeaders;
    std::memcpy(&m_certTableOffset, buffer.data() + entryOffsetInHeaders, 4);
    std::memcpy(&m_certTableSize, buffer.data() + entryOffsetInHeaders + 4, 4);

    if (length < m_certTableOffset || length < m_certTableSize) {
        QK_LOG_ERROR(L"CSignedPEFile::ReadHeaders() : m_dwWinCertificateLength > m_dwMaxCertificateSize");
        return false;
    }

    // A file without section headers has no E: it cannot carry a package.
    if (fileHeader.NumberOfSections == 0) {
        QK_LOG_ERROR(L"CSignedPEFile::ReadHeaders() : Read() == FALSE");
        return false;
    }
    const uint64_t lastSection = static_cast<uint64_t>(ntOffset) + OffsetOfOptionalHeader +
                                 fileHeader.SizeOfOptionalHeader +
                                 static_cast<uint64_t>(fileHeader.NumberOfSections - 1) * SectionHeaderSize;
    IMAGE_SECTION_HEADER section{};
    if (!file.SetPosition(lastSection) || FAILED(file.ReadExact(&section, sizeof(section)))) {
        QK_LOG_ERROR(L"CSignedPEFile::ReadHeaders() : Read() == FALSE");
        return false;
    }
    const uint64_t end = static_cast<uint64_t>(section.PointerToRawData) + section.SizeOfRawData;
    if (end > UINT32_MAX) {
        // Offsets are 32-bit: a section table that points past 4 GiB is not ours to read.
        QK_LOG_ERROR(L"CSignedPEFile::ReadHeaders() : Read() == FALSE");
        return false;
    }
    m_endOfRawData = static_cast<uint32_t>(end);
    m_headersRead = true;
    return true;
}

} // namespace Tolk
