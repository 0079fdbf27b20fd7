#pragma once
// The object through which a settings manager reaches one settings database file: it finds or
// creates the root record, keeps the store key with which every key record is enciphered,
// resolves key paths through a bounded cache of decoded nodes, reads and writes a key's values,
// deletes keys, and groups changes into transactions that reach the file together (a commit is
// a checkpoint of the database) or are reverted.
//
// Root record (48 bytes, not enciphered): u64 root node id, u64 root values id, u32 version 2,
// u32 reserved, u32 key offset 32, u32 key length 16, 16-byte store key. A key reference is
// {u64 node record id, u64 values record id, u32 flags}: the descriptor of the key's entry in
// its parent's node. A node record is the NDND blob of the key's subkeys; a values record is
// the value table's image. Both are padded to the cipher's block size and enciphered.
#include <windows.h>

#include <list>
#include <memory>

#include "settings/blob/CNameValueBlob.h"
#include "settings/file/CDatabaseFile.h"
#include "settings/objects/CValueTable.h"
#include "settings/root/ICipher.h"

namespace qkSettings {

constexpr NtStatus kStatusRestored = 0x4000000A;
constexpr NtStatus kEncryptionFailed = static_cast<NtStatus>(0xC000028A);
constexpr NtStatus kDecryptionFailed = static_cast<NtStatus>(0xC000028B);

struct KeyRef {
    ULONGLONG node = 0;
    ULONGLONG values = 0;
    DWORD flags = 0;
};

class CDataRoot {
public:
    static constexpr DWORD kRootVersion = 2;
    static constexpr DWORD kRootRecordSize = 48;
    static constexpr DWORD kFlagNoDelete = 4;
    static constexpr DWORD kFlagNoDescend = 64;
    static constexpr DWORD kFlagWriteProtected = 0x800;
    static constexpr size_t kCacheCapacity = 20;

    struct Options {
        bool openExistingOnly = true;
        bool readOnlyRequested = false;
        bool flushWrites = true;
    };

    CDataRoot() = default;
    ~CDataRoot();
    CDataRoot(const CDataRoot&) = delete;
    CDataRoot& operator=(const CDataRoot&) = delete;

    NtStatus Open(const wchar_t* path, const Options& options, ICipher* externalCipher);
    void Close();
    bool IsOpen() const { return m_db.IsOpen(); }
    bool IsReadOnly() const { return m_readOnly; }
    bool InTransaction() const { return m_inTransaction; }

    // Paths are views without the leading backslash; the empty view is the root key.
    NtStatus KeyExists(const CountedString& path);
    NtStatus GetKeyNode(const CountedString& path, CNameValueBlob& out);
    NtStatus GetValues(const CountedString& path, CValueTable& out);
    NtStatus SetValues(const CountedString& path, const CValueTable& changes, bool force, bool* created);
    // One value merged into the key's values (the key and its parents are made when missing);
    // both the name and the value are needed.
    NtStatus SetValue(const CountedString& path, const CountedString* name, DWORD type, const void* data, DWORD size,
                      bool force, bool* created);
    // The key's values record, deciphered, into the caller's buffer (*size: its size in, the
    // true length out; the size needed with kBufferTooSmall).
    NtStatus ReadValuesBlob(const CountedString& path, BYTE* buffer, DWORD* size);
    // The key's node (its subkeys) in serialised form, sized like ReadValuesBlob.
    NtStatus ReadKeyNode(const CountedString& path, BYTE* buffer, DWORD* size);
    NtStatus DeleteKey(const CountedString& path, bool force);
    NtStatus GetKeyFlags(const CountedString& path, DWORD* flags);
    NtStatus Refresh(bool force);
    NtStatus SetWriteProtect(bool on);
    NtStatus BeginTransaction();
    NtStatus CommitTransaction();
    NtStatus AbortTransaction();
    NtStatus AreBackupsEnabled(bool* enabled);

    // Cache statistics.
    DWORD CacheHits() const { return m_hits; }
    DWORD CacheMisses() const { return m_misses; }

private:
    using Node = std::shared_ptr<CNameValueBlob>;

    NtStatus OpenOnce(const Options& options);
    NtStatus CreateStore();
    NtStatus LoadRoot();
    NtStatus Encipher(const BYTE* data, DWORD size, std::vector<BYTE>& out);
    NtStatus ReadPlain(ULONGLONG id, CByteBuffer& out);
    NtStatus LoadNode(const KeyRef& ref, Node& out);
    NtStatus Resolve(const CountedString& path, Node& node, KeyRef& ref);
    NtStatus WriteNode(const Node& node, const KeyRef& ref);
    NtStatus InsertRecord(const std::vector<BYTE>& plain, ULONGLONG* id);
    NtStatus UpdateRecord(ULONGLONG id, const std::vector<BYTE>& plain);
    NtStatus WriteValues(const CountedString& path, const CValueTable& changes, bool* created);
    NtStatus CollectSubtree(const KeyRef& top, std::vector<ULONGLONG>& records);
    // Names a new values record of the root key in the root record.
    NtStatus SetRootValues(ULONGLONG valuesId);
    void ForgetNode(ULONGLONG nodeId);
    // A copy of a node, to be changed and written without touching the cached one.
    NtStatus CopyNode(const Node& from, Node& copy);
    // Writes a copy of `parent` in which the entry `name` names `child`.
    NtStatus WriteLinkedCopy(const Node& parent, const KeyRef& parentRef, const CountedString& name,
                             const KeyRef& child);
    NtStatus Finish(NtStatus st);
    NtStatus Report(NtStatus st);
    void DropCache();
    static KeyRef RefOf(const BYTE* descriptor);
    static void PutRef(const KeyRef& ref, BYTE* record24);

    CStringBuffer m_path;
    Options m_options;
    ICipher* m_externalCipher = nullptr;
    std::unique_ptr<ICipher> m_ownCipher;
    ICipher* m_cipher = nullptr;
    CDatabaseFile m_db;
    KeyRef m_root;
    std::list<std::pair<ULONGLONG, Node>> m_cache; // most recent first
    DWORD m_hits = 0;
    DWORD m_misses = 0;
    bool m_inTransaction = false;
    bool m_readOnly = false;
    bool m_writeProtected = false;
    bool m_restored = false;
};

} // namespace qkSettings
