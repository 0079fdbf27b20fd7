#pragma once
// Reader of the package appended to the launcher's executable. The package lies behind the raw
// data of the last PE section (E): a u32 at E gives the length of a certificate table standing
// there (0 when none), the package header follows it, then the archive records and the archives'
// bytes. One archive, "VekManifest.js" of the manifest type, is the launcher's JSON manifest.
//
// Header: "pcPB", u32 version (0..5). Versions 0..4 (legacy): u64 count, u32 records size, then
// records of typed-archive fields (tag 8 + u32 length + UTF-16 id with NUL, tag 4 + u64 size,
// tag 3 + u32 index into the legacy type table). Version 5: u32 count, records of u32 id length
// in code units, the id, u32 size, 16-byte type GUID; every archive is followed by 0xBEDA0BED.
//
// Nothing is read past the package's end (the file's end, or the start of a certificate table
// behind the package) whatever a length field says.
#include "services/package/Tolk_FileStream.h"
#include "services/package/Tolk_PEFileHelper.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Tolk {

// {EB5654DC-1A46-4B35-9359-4BD26D90193B}: the type of the manifest archive.
extern const GUID ManifestArchiveType;
// The id of the manifest archive.
extern const wchar_t* const ManifestArchiveId;

class CFilePackerEx {
public:
    static constexpr uint32_t Magic = 0x42506370; // "pcPB"
    static constexpr uint32_t CurrentVersion = 5;
    static constexpr uint32_t EndMarker = 0xBEDA0BED; // behind every version-5 archive
    static constexpr uint32_t LegacyTypeCount = 10;

    // One archive record, legacy or version 5; data offset is the absolute file position of the
    // archive's first byte.
    class CArchiveInfo {
    public:
        virtual ~CArchiveInfo() = default;
        // Writes the version-5 record at the end of out (the writer side of Deserialize).
        virtual bool Serialize(std::vector<uint8_t>* out) const;
        virtual HRESULT Deserialize_legacy(CFileStream& stream, uint64_t packageEnd);
        virtual HRESULT Deserialize(CFileStream& stream, uint64_t packageEnd);

        std::wstring id;
        uint32_t size = 0;
        GUID type{};
        uint32_t dataOffset = 0;
    };

    class CPackageHeader {
    public:
        explicit CPackageHeader(uint64_t packageEnd) : m_packageEnd(packageEnd) {}
        virtual ~CPackageHeader() = default;
        // Writes "pcPB", version 5, the count and the records (not the archives' bytes).
        virtual bool Serialize(std::vector<uint8_t>* out) const;
        // S_OK: package read; S_FALSE: end of file where the magic should be; else a failure.
        virtual HRESULT Deserialize(CFileStream* stream);

        // The first record of the manifest type whose id is exactly "VekManifest.js".
        const CArchiveInfo* FindManifestArchive() const;
        bool GetManifestArchiveInfo(CArchiveInfo& info) const;

        uint32_t version = 0;
        std::vector<CArchiveInfo> records;

    private:
        uint64_t m_packageEnd;
    };

    CFilePackerEx() = default;
    virtual ~CFilePackerEx();
    CFilePackerEx(const CFilePackerEx&) = delete;
    CFilePackerEx& operator=(const CFilePackerEx&) = delete;

    // Opens the file and reads its package; S_OK also for a file without a package.
    HRESULT Open(const wchar_t* path);
    // The manifest archive: the package's stream (shared), the data offset and the size.
    HRESULT ExtractStream(std::shared_ptr<CFileStream>& stream, uint32_t& offset, uint32_t& size);
    void Close();

    HRESULT InitPEHeaders();
    HRESULT ReadPackageHeader();

    bool IsPackagePresent() const { return m_packagePresent; }
    uint32_t GetPackageOffset() const { return m_packageOffset; }
    const CPackageHeader* GetHeader() const { return m_header.get(); }

private:
    uint32_t m_packageOffset = 0;
    bool m_packagePresent = false;
    std::wstring m_path;
    std::shared_ptr<CFileStream> m_stream;
    std::unique_ptr<CPEFileHelper> m_peHelper;
    std::shared_ptr<CPackageHeader> m_header;
};

} // namespace Tolk
