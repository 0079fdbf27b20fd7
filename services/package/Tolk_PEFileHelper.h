#pragma once
// Reads the PE headers of a file far enough to know where the raw data of the last section ends
// (E, where the package is sought) and where the Authenticode certificate table lies.
#include <cstdint>

namespace Tolk {

class CFileStream;

class CPEFileHelper {
public:
    // Reads the headers under the stream's lock; false for anything that is not a well-formed
    // PE32 or PE32+ header with at least one section.
    bool ReadHeaders(CFileStream& file);

    bool HeadersRead() const { return m_headersRead; }
    uint32_t GetEndOfRawData() const { return m_endOfRawData; }
    uint32_t GetCertificateTableOffset() const { return m_certTableOffset; }
    uint32_t GetCertificateTableSize() const { return m_certTableSize; }
    uint32_t GetCheckSumPosition() const { return m_checkSumPosition; }
    uint32_t GetCertificateEntryPosition() const { return m_certEntryPosition; }

    static constexpr uint32_t CheckSumWidth = 4;
    static constexpr uint32_t CertificateEntryWidth = 8;

private:
    bool m_headersRead = false;
    uint32_t m_checkSumPosition = 0;
    uint32_t m_certEntryPosition = 0;
    uint32_t m_certTableOffset = 0;
    uint32_t m_certTableSize = 0;
    uint32_t m_endOfRawData = 0; // E
};

} // namespace Tolk
