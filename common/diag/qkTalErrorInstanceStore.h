#pragma once
// The file of one error instance: a data store (signatures 0xE784E891 / 0xE4356F7C, 40-byte user
// header) whose records carry their own CRCs and are XOR-scrambled, so the data store's own
// checksums are off.
//
// User header (u32 words): 0-1 id of the main record, 2-3 zero, 4-5 id of the property list,
// 6 format version (2; 1 accepted), 7 option bit 0 at creation, 8 zero, 9 CRC of bytes 0-35.
// Record: a 40-byte header {version, flags (bit 0 scrambled), kind, descriptor offset, descriptor
// length, payload offset, payload length, descriptor CRC, payload CRC (kinds 1 and 2), header CRC},
// then the descriptor, then the payload. Kinds: 1 main key/value collection, 2 property list
// (index/value collection of {0: name, 1: value}), 3 accepted, 4 named attachment whose
// descriptor is {0: name, 1: type}. CRCs are over the plain bytes. Every length read from the
// file is checked against the record before use; anything that does not fit is corrupt.
#include <windows.h>

#include <string>
#include <vector>

#include <wrl/client.h>

#include "common/base/qkCriticalSection.h"
#include "common/persist/IByteStream.h"
#include "common/persist/IValueCollection.h"
#include "common/persist/qkDataStore.h"

class qkTalErrorInstanceStore : public qkDataStore {
public:
    static constexpr DWORD kStoreSignature = 0xE784E891;
    static constexpr DWORD kRecordSignature = 0xE4356F7C;
    static constexpr DWORD kUserHeaderSize = 40;
    static constexpr DWORD kHeaderSize = 40;
    static constexpr DWORD kChunkSize = 65536;
    static constexpr char kScrambleKey[33] = "7D19B3E05C2A48ad816F0E52B97A4C13";

    enum Kind : DWORD { KindMain = 1, KindPropertyList = 2, KindReserved = 3, KindAttachment = 4 };
    enum Option : DWORD { OptionMark = 1, OptionMarkCheck = 2, OptionAttachmentIndex = 4 };

    struct OpenParams {
        const wchar_t* path = nullptr;
        LPSECURITY_ATTRIBUTES security = nullptr;
        DWORD access = 0;
        DWORD shareMode = 0;
        DWORD disposition = OPEN_EXISTING;
        DWORD flagsAndAttributes = FILE_ATTRIBUTE_NORMAL;
        DWORD options = 0;
    };
    struct Attachment {
        std::wstring name;
        std::wstring type;
        ULONGLONG recordId = 0;
        DWORD payloadOffset = 0;
        DWORD payloadLength = 0;
        DWORD headerCrc = 0;
    };

    qkTalErrorInstanceStore();
    ~qkTalErrorInstanceStore() override;

    HRESULT Open(const OpenParams& params);
    void Close();
    HRESULT SaveMainRecord(IKeyValueCollection* collection);
    HRESULT SavePropertyList(IIndexValueCollection* collection);
    // HRESULT_FROM_WIN32(ERROR_NOT_FOUND) while the file has no property list.
    HRESULT LoadPropertyList(IIndexValueCollection** collection);
    // For readers of collected reports.
    HRESULT LoadMainRecord(IKeyValueCollection** collection);
    HRESULT AddAttachment(const wchar_t* name, const wchar_t* type, IByteStream* stream);
    HRESULT AddDump(const wchar_t* type, const wchar_t* dumpPath);
    HRESULT AddCertAnalysis(IByteStream* stream);
    HRESULT GetPath(std::wstring& path);

    // The attachment index (opened with OptionAttachmentIndex), in record order.
    const std::vector<Attachment>& GetAttachments() const { return m_attachments; }
    // The plain payload of an indexed attachment.
    HRESULT ReadAttachment(const Attachment& attachment, std::vector<BYTE>& payload);

    // byte[i] ^= key[i mod 32], from index 0 at data; its own inverse.
    static void Scramble(void* data, size_t size);

protected:
    BOOL Verify() override;
    BOOL OnVerifyRecord(const RecordHeader& header, const void* data, DWORD size) override;

private:
    struct UserHeader {
        DWORD words[10];
    };
    struct Header {
        DWORD version, flags, kind, descriptorOffset, descriptorLength, payloadOffset, payloadLength, descriptorCrc,
            payloadCrc, headerCrc;
    };
    static_assert(sizeof(UserHeader) == 40 && sizeof(Header) == 40);

    static HRESULT CheckHeader(const Header& header);
    // The header's lengths against a record of recordSize bytes.
    static bool FitsRecord(const Header& header, DWORD recordSize);
    HRESULT FailedOpen();
    HRESULT WriteUserHeader();
    // Adds or rewrites the record whose id the user header keeps at word idWord.
    HRESULT WriteCollectionRecord(IUnknown* collection, DWORD kind, DWORD idWord);
    HRESULT LoadCollectionRecord(ULONGLONG id, DWORD kind, REFGUID objectId, REFIID iid, void** collection);
    HRESULT ReadRecordBytes(ULONGLONG id, std::vector<BYTE>& data, Header& header);
    HRESULT AddIndexEntry(ULONGLONG id, const BYTE* data, DWORD size);
    HRESULT SaveToBuffer(IUnknown* collection, std::vector<BYTE>& record);
    static HRESULT LoadDescriptor(const BYTE* data, DWORD size, std::wstring& name, std::wstring& type);

    std::wstring m_path;
    UserHeader m_user{};
    DWORD m_options = 0;
    Microsoft::WRL::ComPtr<IKeyValueCollection> m_main;
    Microsoft::WRL::ComPtr<IIndexValueCollection> m_propertyList;
    Microsoft::WRL::ComPtr<IKeyValueCollection> m_descriptor;
    std::vector<Attachment> m_attachments;
    qkCriticalSection m_storeLock;
};
