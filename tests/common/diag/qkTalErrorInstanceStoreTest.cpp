// The error-instance file written and read back: records, CRCs, scrambling, attachments across
// the copy-chunk border, refused corruption, and a mutation sweep that must end in result codes.
#include <gtest/gtest.h>

#include <algorithm>

#include <wrl/client.h>

#include "DiagTestSupport.h"
#include "common/objects/qkQueryInterface.h"
#include "common/diag/qkTalErrorInstanceStore.h"
#include "common/persist/IStringObject.h"
#include "common/persist/qkTalIndexValueCollectionImpl.h"
#include "common/persist/qkTalKeyValueCollectionImpl.h"
#include "common/persist/qkTalMemoryStreamImpl.h"
#include "common/persist/qkTalStringImpl.h"

using Microsoft::WRL::ComPtr;
using Store = qkTalErrorInstanceStore;

namespace {

const HRESULT kCorrupt = HRESULT_FROM_WIN32(ERROR_FILE_CORRUPT);

Store::OpenParams Params(const std::wstring& path, DWORD disposition, DWORD access, DWORD options = 0)
{
    Store::OpenParams params;
    params.path = path.c_str();
    params.disposition = disposition;
    params.access = access;
    params.shareMode = FILE_SHARE_READ;
    params.options = options;
    return params;
}

ComPtr<IKeyValueCollection> MainCollection()
{
    ComPtr<IKeyValueCollection> main;
    qkAdopt(main, qkTalKeyValueCollectionImpl::Create());
    main->SetUInt32(0, 0);
    main->SetUInt32(3, 0xCAFEF00D);
    main->SetUInt64(14, 0x1234);
    ComPtr<IStringObject> name;
    qkAdopt(name, qkTalStringImpl::CreateWithText(L"failing"));
    main->SetObject(11, name.Get());
    return main;
}

ComPtr<IIndexValueCollection> PropertyList(int count)
{
    ComPtr<IIndexValueCollection> list;
    qkAdopt(list, qkTalIndexValueCollectionImpl::Create());
    for (int i = 0; i < count; ++i) {
        ComPtr<IKeyValueCollection> entry;
        qkAdopt(entry, qkTalKeyValueCollectionImpl::Create());
        ComPtr<IStringObject> name, value;
        qkAdopt(name, qkTalStringImpl::CreateWithText((L"name" + std::to_wstring(i)).c_str()));
        qkAdopt(value, qkTalStringImpl::CreateWithText(std::wstring(40, wchar_t(L'a' + i)).c_str()));
        entry->SetObject(0, name.Get());
        entry->SetObject(1, value.Get());
        list->AppendObject(entry.Get());
    }
    return list;
}

ComPtr<IByteStream> StreamOf(const std::vector<BYTE>& bytes)
{
    ComPtr<qkTalMemoryStreamImpl> stream;
    qkAdopt(stream, qkTalMemoryStreamImpl::Create());
    stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()));
    stream->SetPosition(0);
    return stream;
}

std::vector<BYTE> Pattern(size_t size)
{
    std::vector<BYTE> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<BYTE>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

using diagtest::Text;

ULONGLONG UserWord64(const std::vector<BYTE>& file, int word)
{
    ULONGLONG value = 0;
    memcpy(&value, file.data() + 32 + word * 4, 8);
    return value;
}

// Size of the main record's payload plus header, for locating it in the raw file.
constexpr size_t kFirstRecordData = 32 + 40 + 40;

} // namespace

TEST(ErrorInstanceStore, WritesAndReadsBackEveryRecordKind)
{
    diagtest::TempFolder folder;
    const std::wstring path = folder.Path(L"instance.dat");
    const std::vector<size_t> sizes = {1, 65535, 65536, 65537, 3 * 65536 + 5};
    ULONGLONG firstListId = 0;
    {
        Store store;
        ASSERT_EQ(S_OK, store.Open(Params(path, CREATE_NEW, GENERIC_READ | GENERIC_WRITE)));
        ASSERT_EQ(S_OK, store.SaveMainRecord(MainCollection().Get()));
        EXPECT_EQ(E_FAIL, store.SaveMainRecord(MainCollection().Get())) << "the main record is written once";
        ComPtr<IIndexValueCollection> list;
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), store.LoadPropertyList(&list));
        ASSERT_EQ(S_OK, store.SavePropertyList(PropertyList(1).Get()));
        for (size_t size : sizes)
            ASSERT_EQ(S_OK, store.AddAttachment(L"Blob", std::to_wstring(size).c_str(), StreamOf(Pattern(size)).Get()))
                << size;
        firstListId = UserWord64(diagtest::ReadAll(path), 4);
        // A larger list cannot stay in place behind the attachments: it moves, and the header follows.
        ASSERT_EQ(S_OK, store.SavePropertyList(PropertyList(20).Get()));
        std::wstring stored;
        EXPECT_EQ(S_OK, store.GetPath(stored));
        EXPECT_EQ(path, stored);
    }
    const std::vector<BYTE> file = diagtest::ReadAll(path);
    EXPECT_NE(firstListId, UserWord64(file, 4));
    EXPECT_EQ(0u, UserWord64(file, 2));
    DWORD version = 0;
    memcpy(&version, file.data() + 32 + 24, 4);
    EXPECT_EQ(2u, version);

    Store store;
    ASSERT_EQ(S_OK, store.Open(Params(path, OPEN_EXISTING, GENERIC_READ, Store::OptionAttachmentIndex)));
    ComPtr<IKeyValueCollection> main;
    ASSERT_EQ(S_OK, store.LoadMainRecord(&main));
    ULONG bucket = 0;
    EXPECT_TRUE(main->GetUInt32(3, &bucket));
    EXPECT_EQ(0xCAFEF00Du, bucket);
    EXPECT_EQ(L"failing", Text(main.Get(), 11));

    ComPtr<IIndexValueCollection> list;
    ASSERT_EQ(S_OK, store.LoadPropertyList(&list));
    ASSERT_EQ(20u, list->GetCount()) << "the rewritten list replaced the first one";
    ComPtr<IUnknown> entryObject;
    ComPtr<IKeyValueCollection> entry;
    ASSERT_TRUE(list->GetObject(19, &entryObject));
    ASSERT_TRUE(SUCCEEDED(qkQueryInterface(entryObject.Get(), CLSID_qkTalKeyValueCollection, entry)));
    EXPECT_EQ(L"name19", Text(entry.Get(), 0));

    const auto& attachments = store.GetAttachments();
    ASSERT_EQ(sizes.size(), attachments.size());
    for (size_t i = 0; i < sizes.size(); ++i) {
        EXPECT_EQ(L"Blob", attachments[i].name);
        EXPECT_EQ(std::to_wstring(sizes[i]), attachments[i].type);
        std::vector<BYTE> payload;
        ASSERT_EQ(S_OK, store.ReadAttachment(attachments[i], payload));
        EXPECT_TRUE(payload == Pattern(sizes[i])) << sizes[i];
    }
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_READ_ONLY), store.SavePropertyList(PropertyList(1).Get()));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_READ_ONLY), store.AddCertAnalysis(StreamOf(Pattern(4)).Get()));
}

// A store that records the size of every write to its file.
class WatchedStore : public Store {
public:
    std::vector<DWORD> writes;

protected:
    BOOL WriteAt(ULONGLONG offset, const void* data, DWORD size) override
    {
        writes.push_back(size);
        return Store::WriteAt(offset, data, size);
    }
};

// An attachment goes to the file through one buffer of at most 64 KiB, never as a whole: a dump
// the size of the process is not allocated a second time.
TEST(ErrorInstanceStore, AttachmentsAreWrittenThroughOneChunkBuffer)
{
    struct Case {
        size_t size;
        std::vector<DWORD> chunks; // the payload's writes, in order
    } cases[] = {{65536, {65536}}, {65537, {65536, 1}}, {3 * 65536 + 5, {65536, 65536, 65536, 5}}};
    for (const Case& c : cases) {
        diagtest::TempFolder folder;
        const std::wstring path = folder.Path(L"instance.dat");
        {
            WatchedStore store;
            ASSERT_EQ(S_OK, store.Open(Params(path, CREATE_NEW, GENERIC_READ | GENERIC_WRITE)));
            store.writes.clear();
            ASSERT_EQ(S_OK, store.AddAttachment(L"Blob", L"chunks", StreamOf(Pattern(c.size)).Get())) << c.size;
            for (DWORD size : store.writes)
                EXPECT_LE(size, Store::kChunkSize) << c.size;
            EXPECT_NE(store.writes.end(), std::search(store.writes.begin(), store.writes.end(), c.chunks.begin(),
                                                      c.chunks.end()))
                << c.size;
        }
        Store store;
        ASSERT_EQ(S_OK, store.Open(Params(path, OPEN_EXISTING, GENERIC_READ, Store::OptionAttachmentIndex)));
        ASSERT_EQ(1u, store.GetAttachments().size());
        std::vector<BYTE> payload;
        ASSERT_EQ(S_OK, store.ReadAttachment(store.GetAttachments()[0], payload));
        EXPECT_TRUE(payload == Pattern(c.size)) << c.size;
    }
}

// The piece-by-piece add the attachments use, on a store that keeps its data CRCs: the CRC read
// back from the file is the one a reopened store verifies.
TEST(ErrorInstanceStore, ARecordWrittenInPiecesKeepsItsChecksum)
{
    diagtest::TempFolder folder;
    const std::wstring path = folder.Path(L"pieces.dat");
    const std::vector<BYTE> data = Pattern(3 * 65536 + 7);
    ULONGLONG id = 0;
    {
        qkDataStore store(0x51A7E001, 0, 0x51A7E002, 0);
        ASSERT_TRUE(store.Open(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, 0, 16));
        const qkDataStore::RecordProducer pieces = [&](const qkDataStore::RecordPieceWriter& write) -> BOOL {
            for (DWORD at = 0; at < data.size(); at += 1000) {
                const DWORD n = static_cast<DWORD>(std::min<size_t>(1000, data.size() - at));
                if (!write(at, data.data() + at, n))
                    return FALSE;
            }
            return TRUE;
        };
        ASSERT_TRUE(store.AddRecord(static_cast<DWORD>(data.size()), pieces, &id));
        EXPECT_EQ(32u + 16u, id) << "the first record follows the headers";
        const BYTE more = 1;
        ULONGLONG refused = 0;
        EXPECT_FALSE(store.AddRecord(
            1, [&](const qkDataStore::RecordPieceWriter& write) { return write(1, &more, 1); }, &refused))
            << "a piece outside the record is refused";
        EXPECT_TRUE(store.Close());
    }
    qkDataStore store(0x51A7E001, 0, 0x51A7E002, 0);
    ASSERT_TRUE(store.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, 0, 16));
    std::vector<BYTE> back(data.size());
    ASSERT_TRUE(store.ReadRecord(id, back.data(), static_cast<DWORD>(back.size())));
    EXPECT_TRUE(back == data);
}

TEST(ErrorInstanceStore, RecordsAreScrambledWithTheFixedKey)
{
    diagtest::TempFolder folder;
    const std::wstring path = folder.Path(L"scrambled.dat");
    const std::vector<BYTE> payload(100, 0);
    {
        Store store;
        ASSERT_EQ(S_OK, store.Open(Params(path, CREATE_ALWAYS, GENERIC_READ | GENERIC_WRITE)));
        ASSERT_EQ(S_OK, store.AddCertAnalysis(StreamOf(payload).Get()));
    }
    const std::vector<BYTE> file = diagtest::ReadAll(path);
    // Zero bytes scrambled show the key itself at the end of the file.
    const std::string key = "7D19B3E05C2A48ad816F0E52B97A4C13";
    const std::string tail(file.end() - 100, file.end());
    EXPECT_EQ(key + key + key + key.substr(0, 4), tail);
    DWORD header[10];
    memcpy(header, file.data() + kFirstRecordData, 40);
    EXPECT_EQ(2u, header[0]);
    EXPECT_EQ(1u, header[1]);
    EXPECT_EQ(4u, header[2]);
    EXPECT_EQ(40u, header[3]);
    EXPECT_EQ(40u + header[4], header[5]);
    EXPECT_EQ(100u, header[6]);
    EXPECT_EQ(0u, header[8]) << "attachments carry no payload CRC";
}

TEST(ErrorInstanceStore, RefusesCorruptionAndBadArguments)
{
    diagtest::TempFolder folder;
    const std::wstring path = folder.Path(L"good.dat");
    {
        Store store;
        ASSERT_EQ(S_OK, store.Open(Params(path, CREATE_NEW, GENERIC_READ | GENERIC_WRITE)));
        ASSERT_EQ(S_OK, store.SavePropertyList(PropertyList(3).Get()));
    }
    const std::vector<BYTE> good = diagtest::ReadAll(path);

    struct Case {
        const char* what;
        size_t offset;
        bool openFails;
    } cases[] = {
        {"user header word 2", 32 + 8, true},
        {"user header version", 32 + 24, true},
        {"record header kind", kFirstRecordData + 8, false},
        {"scrambled payload", good.size() - 3, false},
    };
    for (const Case& c : cases) {
        std::vector<BYTE> bad = good;
        bad[c.offset] ^= 0x01;
        const std::wstring badPath = folder.Path(L"bad.dat");
        ASSERT_TRUE(diagtest::WriteAll(badPath, bad));
        Store store;
        const HRESULT open = store.Open(Params(badPath, OPEN_EXISTING, GENERIC_READ));
        if (c.openFails) {
            EXPECT_EQ(kCorrupt, open) << c.what;
            continue;
        }
        if (FAILED(open)) {
            EXPECT_EQ(kCorrupt, open) << c.what;
            continue;
        }
        ComPtr<IIndexValueCollection> list;
        EXPECT_EQ(kCorrupt, store.LoadPropertyList(&list)) << c.what;
    }

    Store store;
    EXPECT_EQ(E_INVALIDARG, store.Open(Store::OpenParams{}));
    EXPECT_EQ(E_INVALIDARG, store.Open(Params(path, OPEN_EXISTING, GENERIC_READ, Store::OptionMark)));
    EXPECT_EQ(E_INVALIDARG, store.Open(Params(path, 5, GENERIC_READ)));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
              store.Open(Params(folder.Path(L"missing.dat"), OPEN_EXISTING, GENERIC_READ)));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_EXISTS), store.Open(Params(path, CREATE_NEW, GENERIC_WRITE)));
    ASSERT_EQ(S_OK, store.Open(Params(folder.Path(L"marked.dat"), CREATE_NEW, GENERIC_READ | GENERIC_WRITE,
                                      Store::OptionMark | Store::OptionMarkCheck)));
    store.Close();
    DWORD mark = 0;
    memcpy(&mark, diagtest::ReadAll(folder.Path(L"marked.dat")).data() + 32 + 28, 4);
    EXPECT_EQ(1u, mark);
}

// Every single-byte change of a file with all record kinds ends in a result code: opening,
// loading both collections and reading each indexed attachment never crash and never hand out
// a record whose CRC failed.
TEST(ErrorInstanceStore, MutatedFilesEndInResultCodes)
{
    diagtest::TempFolder folder;
    const std::wstring path = folder.Path(L"source.dat");
    {
        Store store;
        ASSERT_EQ(S_OK, store.Open(Params(path, CREATE_NEW, GENERIC_READ | GENERIC_WRITE)));
        ASSERT_EQ(S_OK, store.SaveMainRecord(MainCollection().Get()));
        ASSERT_EQ(S_OK, store.SavePropertyList(PropertyList(2).Get()));
        ASSERT_EQ(S_OK, store.AddAttachment(L"Dump", L"type", StreamOf(Pattern(64)).Get()));
    }
    const std::vector<BYTE> good = diagtest::ReadAll(path);
    const std::wstring badPath = folder.Path(L"mutant.dat");
    const BYTE flips[] = {0x01, 0x80, 0xFF};
    int opened = 0;
    for (size_t offset = 0; offset < good.size(); ++offset) {
        const BYTE flip = flips[offset % 3];
        std::vector<BYTE> bad = good;
        bad[offset] ^= flip;
        ASSERT_TRUE(diagtest::WriteAll(badPath, bad));
        Store store;
        if (FAILED(store.Open(Params(badPath, OPEN_EXISTING, GENERIC_READ, Store::OptionAttachmentIndex))))
            continue;
        ++opened;
        ComPtr<IKeyValueCollection> main;
        const HRESULT mainResult = store.LoadMainRecord(&main);
        ComPtr<IIndexValueCollection> list;
        const HRESULT listResult = store.LoadPropertyList(&list);
        if (SUCCEEDED(listResult)) {
            EXPECT_EQ(2u, list->GetCount()) << offset;
        }
        if (SUCCEEDED(mainResult)) {
            ULONG bucket = 0;
            EXPECT_TRUE(main->GetUInt32(3, &bucket) && bucket == 0xCAFEF00D) << offset;
        }
        for (const auto& attachment : store.GetAttachments()) {
            std::vector<BYTE> payload;
            if (SUCCEEDED(store.ReadAttachment(attachment, payload))) {
                EXPECT_EQ(64u, payload.size()) << offset;
            }
        }
    }
    EXPECT_GT(opened, 0) << "some changes (store-header slack, attachment payload) still open";
}
