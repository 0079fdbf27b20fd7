#pragma once
// The object through which a settings manager reaches one settings database file: it finds or
// creates the root record, keeps the store key with which every key record is enciphered,
// resolves key paths through a bounded cache of decoded nodes, reads and writes a key's values,
// deletes keys, and groups changes into transactions. A write queues record operations in the
// pending change (the key tree); a commit hands them to the database file as one batch through
// the journal and takes a checkpoint, so that a transaction reaches the file together or not at
// all, and reads, which go to the file and the committed nodes, see the committed state only.
//
// Root record (48 bytes, not enciphered): u64 root node id, u64 root values id, u32 version 2,
// u32 reserved, u32 key offset 32, u32 key length 16, 16-byte store key. A key reference is
// {u64 node record id, u64 values record id, u32 flags}: the descriptor of the key's entry in
// its parent's node. A node record is the NDND blob of the key's subkeys; a values record is
// the value table's image. Both are padded to the cipher's block size and enciphered.
#include <windows.h>

#include <memory>
#include <vector>

#include "settings/blob/CNameValueBlob.h"
#include "settings/file/CDatabaseFile.h"
#include "settings/objects/CValueTable.h"
#include "settings/root/CKeyNodeCache.h"
#include "settings/root/CKeyTree.h"
#include "settings/root/ICipher.h"
#include "settings/root/KeyRef.h"

namespace qkSettings {

class CDataRoot {
public:
    static constexpr DWORD kRootVersion = 2;
    static constexpr DWORD kRootRecordSize = 48;
    static constexpr DWORD kFlagNoDelete = 4;
    static constexpr DWORD kFlagNoDescend = 64;
    static constexpr DWORD kFlagWriteProtected = 0x800;

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
    DWORD CacheHits() const { return m_cache.Hits(); }
    DWORD CacheMisses() const { return m_cache.Misses(); }

private:
    // Where a walk of a path ended: the key's node and reference, and its parent's (none for
    // the root) with the key's name in it.
    struct Walk {
        Node node;
        KeyRef ref;
        Node parent;
        KeyRef parentRef;
        CountedString name{};
    };

    NtStatus OpenOnce(const Options& options);
    NtStatus CreateStore();
    NtStatus LoadRoot();
    NtStatus Encipher(const BYTE* data, DWORD size, std::vector<BYTE>& out);
    NtStatus Decipher(CByteBuffer& data);
    NtStatus ReadPlain(ULONGLONG id, CByteBuffer& out);
    // The true length of a values record's plain bytes: the u32 at offset 4, within the record.
    static NtStatus PlainLength(const CByteBuffer& plain, DWORD* length);
    static NtStatus ParseValues(const CByteBuffer& plain, CValueTable& out);
    NtStatus LoadNode(const KeyRef& ref, Node& out);
    // The committed key of a path, as readers see it.
    NtStatus Resolve(const CountedString& path, Node& node, KeyRef& ref);
    // The caller's buffer receives `length` bytes of `data`; `needed` is what it must hold.
    NtStatus HandOut(const BYTE* data, DWORD needed, DWORD length, BYTE* buffer, DWORD* size, NtStatus missingBuffer);

    // The pending change: the key as the change sees it (its pending node, else the committed one).
    KeyRef ChangeRoot() const { return m_rootPending ? m_pendingRoot : m_root; }
    NtStatus NodeInChange(const KeyRef& ref, Node& out);
    // Walks the path as far as it exists; the names past that point go to missing.
    NtStatus WalkInChange(const CountedString& path, Walk& walk, std::vector<CountedString>* missing);
    NtStatus ValuesInChange(const KeyRef& ref, CValueTable& out);
    // The pending node of a key, made (a copy of its committed node, queued as an update) when
    // the change has none yet.
    NtStatus PendingNode(const KeyRef& ref, const Node& committed, CKeyRecordOp** op);
    // The parent's entry of a key (or the root record for the root key) takes the key's new
    // values record id.
    NtStatus LinkValues(Walk& walk, ULONGLONG valuesId, CBlobRecordOp* insert);
    NtStatus QueueValues(const CountedString& path, const CValueTable& changes, bool* created);
    NtStatus QueueDelete(const CountedString& path);
    NtStatus CollectSubtree(const KeyRef& top, std::vector<ULONGLONG>& records);
    // A copy of a node, to be changed without touching the cached one.
    static NtStatus CopyNode(const Node& from, Node& copy);
    NtStatus Finish(NtStatus st);
    NtStatus Report(NtStatus st);
    void DropChange();

    CStringBuffer m_path;
    Options m_options;
    ICipher* m_externalCipher = nullptr;
    std::unique_ptr<ICipher> m_ownCipher;
    ICipher* m_cipher = nullptr;
    CDatabaseFile m_db;
    KeyRef m_root;
    CKeyNodeCache m_cache;
    CKeyTree m_change;
    KeyRef m_pendingRoot; // the root's reference in the change, when it differs (m_rootPending)
    bool m_rootPending = false;
    // A write of the open transaction failed: its changes are gone, later writes in it are
    // refused and its commit reports this status.
    NtStatus m_failed = status::kSuccess;
    bool m_inTransaction = false;
    bool m_readOnly = false;
    bool m_writeProtected = false;
    bool m_restored = false;
};

} // namespace qkSettings
