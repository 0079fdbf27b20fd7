#include "settings/root/CDataRoot.h"

#include <rpc.h>

#include <cstring>
#include <new>
#include <set>

#include "common/base/qkTrace.h"
#include "settings/objects/qkSettingsPath.h"
#include "settings/store/CBlowfishCipher.h"

namespace qkSettings {

namespace {

constexpr DWORD kStoreSignature = 0x73624343; // "CCbs"

class CStoreCipher : public ICipher {
public:
    explicit CStoreCipher(const BYTE key[16]) { m_cipher.SetKey(key, 16); }
    DWORD GetBlockSize() override { return m_cipher.GetBlockSize(); }
    bool Encrypt(const void* s, DWORD n, void* t, DWORD* tn) override { return m_cipher.Encrypt(s, n, t, tn); }
    bool Decrypt(const void* s, DWORD n, void* t, DWORD* tn) override { return m_cipher.Decrypt(s, n, t, tn); }

private:
    CBlowfishCipher m_cipher;
};

} // namespace

CDataRoot::~CDataRoot()
{
    Close();
}

NtStatus CDataRoot::Open(const wchar_t* path, const Options& options, ICipher* externalCipher)
{
    if (path == nullptr || *path == 0)
        return status::kInvalidParameter;
    if (externalCipher != nullptr && externalCipher->GetBlockSize() == 0)
        return status::kInvalidParameter;
    Close();
    NtStatus st = m_path.Assign(path);
    if (!NtSuccess(st))
        return st == status::kBufferOverflow ? status::kInvalidParameter : st;
    m_options = options;
    m_externalCipher = externalCipher;
    // Opening an existing store never changes it: a damaged store fails here, and only
    // Refresh puts the backup copy in its place or makes a new copy.
    return OpenOnce(options);
}

NtStatus CDataRoot::OpenOnce(const Options& options)
{
    m_readOnly = options.readOnlyRequested;
    if (!m_readOnly) {
        // A file marked read-only is opened read only.
        qkHandle probe(::CreateFileW(m_path.Text(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
        if (probe.IsValid()) {
            BY_HANDLE_FILE_INFORMATION info;
            if (!::GetFileInformationByHandle(probe.Get(), &info))
                return LastErrorStatus();
            m_readOnly = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
        }
    }
    m_cipher = m_externalCipher;
    m_ownCipher.reset();
    DatabaseOpenParams p;
    CountedString name = m_path.Get();
    p.file.name = &name;
    p.file.desiredAccess = m_readOnly ? GENERIC_READ : (GENERIC_READ | GENERIC_WRITE);
    p.file.shareMode = m_readOnly ? FILE_SHARE_READ : 0;
    p.file.creationDisposition = options.openExistingOnly ? OPEN_EXISTING : OPEN_ALWAYS;
    p.maximumSize = 0xFFFFFFFF;
    p.blockSize = 512;
    p.signature = kStoreSignature;
    p.verifyOnOpen = true;
    p.keepDataCrcs = true;
    p.flushWrites = options.flushWrites;
    NtStatus st = m_db.Open(p);
    if (!NtSuccess(st))
        return st;
    if (m_db.RootRecord() == 0) {
        if (m_readOnly)
            return status::kFileCorrupt;
        // Created in one committed step: the store's records, then a checkpoint.
        st = CreateStore();
        if (NtSuccess(st))
            st = m_db.Checkpoint();
        if (!NtSuccess(st))
            AbortTransaction();
    } else {
        st = LoadRoot();
    }
    if (!NtSuccess(st))
        Close();
    return st;
}

void CDataRoot::Close()
{
    m_db.Close();
    m_root = KeyRef{};
    m_inTransaction = false;
    m_writeProtected = false;
    DropChange();
    m_cache.Clear();
}

void CDataRoot::DropChange()
{
    m_change.Clear();
    m_rootPending = false;
    m_pendingRoot = KeyRef{};
    m_failed = status::kSuccess;
}

NtStatus CDataRoot::Encipher(const BYTE* data, DWORD size, std::vector<BYTE>& out)
{
    DWORD block = m_cipher->GetBlockSize();
    DWORD padded = (size + block - 1) / block * block;
    if (padded == 0)
        padded = block;
    try {
        out.assign(padded, 0);
    } catch (const std::bad_alloc&) {
        return status::kNoMemory;
    }
    std::memcpy(out.data(), data, size);
    DWORD n = padded;
    if (!m_cipher->Encrypt(out.data(), padded, out.data(), &n))
        return status::kEncryptionFailed;
    return status::kSuccess;
}

NtStatus CDataRoot::Decipher(CByteBuffer& data)
{
    DWORD n = data.Size();
    return m_cipher->Decrypt(data.Data(), data.Size(), data.Data(), &n) ? status::kSuccess : status::kDecryptionFailed;
}

NtStatus CDataRoot::ReadPlain(ULONGLONG id, CByteBuffer& out)
{
    NtStatus st = m_db.Read(id, out);
    return NtSuccess(st) ? Decipher(out) : st;
}

NtStatus CDataRoot::PlainLength(const CByteBuffer& plain, DWORD* length)
{
    if (plain.Size() < 8)
        return status::kFileCorrupt;
    std::memcpy(length, plain.Data() + 4, 4);
    return *length > plain.Size() ? status::kFileCorrupt : status::kSuccess;
}

NtStatus CDataRoot::ParseValues(const CByteBuffer& plain, CValueTable& out)
{
    DWORD length = 0;
    NtStatus st = PlainLength(plain, &length);
    return NtSuccess(st) ? out.LoadImage(plain.Data(), length) : st;
}

NtStatus CDataRoot::CreateStore()
{
    BYTE key[16];
    if (m_cipher == nullptr) {
        UUID uuid;
        RPC_STATUS rpc = ::UuidCreate(&uuid);
        if (rpc != RPC_S_OK && rpc != RPC_S_UUID_LOCAL_ONLY)
            return MapWin32ToStatus(static_cast<DWORD>(rpc));
        std::memcpy(key, &uuid, 16);
        m_ownCipher.reset(new (std::nothrow) CStoreCipher(key));
        if (!m_ownCipher)
            return status::kNoMemory;
        m_cipher = m_ownCipher.get();
    } else {
        std::memset(key, 0, sizeof(key));
    }
    CValueTable empty;
    std::vector<BYTE> image, enc;
    NtStatus st = empty.SaveImage(image);
    KeyRef root;
    if (NtSuccess(st))
        st = Encipher(image.data(), static_cast<DWORD>(image.size()), enc);
    if (NtSuccess(st))
        st = m_db.Insert(enc.data(), static_cast<DWORD>(enc.size()), &root.values);
    CNameValueBlob node;
    CByteBuffer blob;
    if (NtSuccess(st))
        st = node.SerializeToOwnBuffer(blob);
    if (NtSuccess(st))
        st = Encipher(blob.Data(), node.TotalSize(), enc);
    if (NtSuccess(st))
        st = m_db.Insert(enc.data(), static_cast<DWORD>(enc.size()), &root.node);
    if (!NtSuccess(st))
        return st;
    BYTE record[kRootRecordSize] = {};
    std::memcpy(record, &root.node, 8);
    std::memcpy(record + 8, &root.values, 8);
    DWORD words[4] = {kRootVersion, 0, 32, 16};
    std::memcpy(record + 16, words, 16);
    std::memcpy(record + 32, key, 16);
    ULONGLONG rootId = 0;
    st = m_db.Insert(record, kRootRecordSize, &rootId);
    if (NtSuccess(st))
        st = m_db.SetRootRecord(rootId);
    if (NtSuccess(st))
        m_root = root;
    return st;
}

NtStatus CDataRoot::LoadRoot()
{
    CByteBuffer record;
    NtStatus st = m_db.Read(m_db.RootRecord(), record);
    if (!NtSuccess(st))
        return st;
    if (record.Size() < 32)
        return status::kFileCorrupt;
    const BYTE* r = record.Data();
    DWORD version, keyOffset, keyLength;
    std::memcpy(&version, r + 16, 4);
    std::memcpy(&keyOffset, r + 24, 4);
    std::memcpy(&keyLength, r + 28, 4);
    if (version != kRootVersion)
        return status::kUnknownRevision;
    if (keyOffset > record.Size() || keyLength > record.Size() - keyOffset)
        return status::kFileCorrupt;
    KeyRef root;
    std::memcpy(&root.node, r, 8);
    std::memcpy(&root.values, r + 8, 8);
    DWORD size = 0;
    if (!NtSuccess(m_db.GetRecordSize(root.node, &size)) ||
        (root.values != 0 && !NtSuccess(m_db.GetRecordSize(root.values, &size))))
        return status::kFileCorrupt;
    m_root = root;
    if (m_cipher == nullptr) {
        BYTE key[16] = {};
        std::memcpy(key, r + keyOffset, keyLength < 16 ? keyLength : 16);
        m_ownCipher.reset(new (std::nothrow) CStoreCipher(key));
        if (!m_ownCipher)
            return status::kNoMemory;
        m_cipher = m_ownCipher.get();
    }
    return status::kSuccess;
}

NtStatus CDataRoot::LoadNode(const KeyRef& ref, Node& out)
{
    out = m_cache.Find(ref);
    if (out)
        return status::kSuccess;
    CByteBuffer buffer;
    NtStatus st = ReadPlain(ref.node, buffer);
    if (!NtSuccess(st))
        return st;
    Node node;
    try {
        node = std::make_shared<CNameValueBlob>();
    } catch (const std::bad_alloc&) {
        return status::kNoMemory;
    }
    st = node->Parse(buffer.Data(), buffer.Size());
    if (!NtSuccess(st))
        return st;
    node->AdoptBuffer(std::move(buffer));
    SetNodeRef(*node, ref);
    DWORD key[3] = {static_cast<DWORD>(ref.node), static_cast<DWORD>(ref.node >> 32), 0};
    node->SetKey(key);
    try {
        m_cache.Put(node);
    } catch (const std::bad_alloc&) {
        return status::kNoMemory;
    }
    out = node;
    return status::kSuccess;
}

NtStatus CDataRoot::Resolve(const CountedString& path, Node& node, KeyRef& ref)
{
    if (!m_db.IsOpen())
        return status::kUnsuccessful;
    ref = m_root;
    NtStatus st = LoadNode(ref, node);
    if (!NtSuccess(st) || path.length == 0)
        return st;
    return VisitPathComponents(path, [&](const CountedString& name, bool) {
        BYTE record[24];
        NtStatus s = node->CopyValue(name, record);
        if (!NtSuccess(s))
            return s;
        ref = RefOf(record);
        return LoadNode(ref, node);
    });
}

NtStatus CDataRoot::Report(NtStatus st)
{
    if (st == status::kSuccess && m_restored) {
        m_restored = false;
        return status::kRestored;
    }
    return st;
}

NtStatus CDataRoot::KeyExists(const CountedString& path)
{
    Node node;
    KeyRef ref;
    return Resolve(path, node, ref);
}

NtStatus CDataRoot::GetKeyNode(const CountedString& path, CNameValueBlob& out)
{
    Node node;
    KeyRef ref;
    NtStatus st = Resolve(path, node, ref);
    if (NtSuccess(st))
        st = node->Clone(out);
    return st;
}

NtStatus CDataRoot::GetValues(const CountedString& path, CValueTable& out)
{
    Node node;
    KeyRef ref;
    NtStatus st = Resolve(path, node, ref);
    if (!NtSuccess(st))
        return st;
    out.Clear();
    if (ref.values == 0)
        return Report(status::kSuccess);
    CByteBuffer buffer;
    st = ReadPlain(ref.values, buffer);
    if (NtSuccess(st))
        st = ParseValues(buffer, out);
    return NtSuccess(st) ? Report(st) : st;
}

NtStatus CDataRoot::GetKeyFlags(const CountedString& path, DWORD* flags)
{
    Node node;
    KeyRef ref;
    NtStatus st = Resolve(path, node, ref);
    if (!NtSuccess(st))
        return st;
    *flags = ref.flags | (m_writeProtected ? kFlagWriteProtected : 0);
    return Report(st);
}

NtStatus CDataRoot::HandOut(const BYTE* data, DWORD needed, DWORD length, BYTE* buffer, DWORD* size,
                            NtStatus missingBuffer)
{
    if (needed > *size) {
        *size = needed;
        return status::kBufferTooSmall;
    }
    if (buffer == nullptr)
        return missingBuffer;
    std::memcpy(buffer, data, length);
    *size = length;
    return status::kSuccess;
}

NtStatus CDataRoot::ReadValuesBlob(const CountedString& path, BYTE* buffer, DWORD* size)
{
    if (size == nullptr)
        return status::kInvalidParameter;
    Node node;
    KeyRef ref;
    NtStatus st = Resolve(path, node, ref);
    if (!NtSuccess(st))
        return st;
    if (ref.values == 0) {
        // The empty collection stands for a key without a values record.
        CValueTable empty;
        std::vector<BYTE> image;
        st = empty.SaveImage(image);
        if (NtSuccess(st)) {
            DWORD n = static_cast<DWORD>(image.size());
            st = HandOut(image.data(), n, n, buffer, size, status::kBufferTooSmall);
        }
        return NtSuccess(st) ? Report(st) : st;
    }
    // The record (padded) is what the caller must have room for; its plain length is what it gets.
    CByteBuffer plain;
    st = ReadPlain(ref.values, plain);
    if (!NtSuccess(st))
        return st;
    DWORD trueLength = 0;
    st = PlainLength(plain, &trueLength);
    if (NtSuccess(st))
        st = HandOut(plain.Data(), plain.Size(), trueLength, buffer, size, status::kInvalidParameter);
    return NtSuccess(st) ? Report(st) : st;
}

NtStatus CDataRoot::ReadKeyNode(const CountedString& path, BYTE* buffer, DWORD* size)
{
    if (size == nullptr)
        return status::kInvalidParameter;
    Node node;
    KeyRef ref;
    NtStatus st = Resolve(path, node, ref);
    if (!NtSuccess(st))
        return st;
    CByteBuffer blob;
    st = node->SerializeToOwnBuffer(blob);
    if (!NtSuccess(st))
        return st;
    return HandOut(blob.Data(), node->TotalSize(), node->TotalSize(), buffer, size, status::kInvalidParameter);
}

// --- The pending change --------------------------------------------------------------------

NtStatus CDataRoot::CopyNode(const Node& from, Node& copy)
{
    try {
        copy = std::make_shared<CNameValueBlob>();
    } catch (const std::bad_alloc&) {
        return status::kNoMemory;
    }
    return from->Clone(*copy);
}

NtStatus CDataRoot::NodeInChange(const KeyRef& ref, Node& out)
{
    if (CKeyRecordOp* op = m_change.KeyOp(ref.node)) {
        out = op->GetNode();
        return status::kSuccess;
    }
    if (IsProvisional(ref.node))
        return status::kFileCorrupt; // a new node without its operation: cannot happen
    return LoadNode(ref, out);
}

NtStatus CDataRoot::WalkInChange(const CountedString& path, Walk& walk, std::vector<CountedString>* missing)
{
    walk.ref = ChangeRoot();
    NtStatus st = NodeInChange(walk.ref, walk.node);
    if (!NtSuccess(st) || path.length == 0)
        return st;
    return VisitPathComponents(path, [&](const CountedString& name, bool) {
        if (missing != nullptr && !missing->empty()) {
            missing->push_back(name);
            return status::kSuccess;
        }
        BYTE record[24];
        NtStatus s = walk.node->CopyValue(name, record);
        if (s == status::kNotFound && missing != nullptr) {
            missing->push_back(name);
            return status::kSuccess;
        }
        if (!NtSuccess(s))
            return s;
        walk.parent = walk.node;
        walk.parentRef = walk.ref;
        walk.name = name;
        walk.ref = RefOf(record);
        return NodeInChange(walk.ref, walk.node);
    });
}

NtStatus CDataRoot::ValuesInChange(const KeyRef& ref, CValueTable& out)
{
    out.Clear();
    if (ref.values == 0)
        return status::kSuccess;
    CByteBuffer plain;
    if (CBlobRecordOp* op = m_change.BlobOp(ref.values)) {
        const std::vector<BYTE>& bytes = op->Bytes();
        if (!plain.Allocate(static_cast<DWORD>(bytes.size())))
            return status::kNoMemory;
        std::memcpy(plain.Data(), bytes.data(), bytes.size());
        NtStatus st = Decipher(plain);
        return NtSuccess(st) ? ParseValues(plain, out) : st;
    }
    NtStatus st = ReadPlain(ref.values, plain);
    return NtSuccess(st) ? ParseValues(plain, out) : st;
}

NtStatus CDataRoot::PendingNode(const KeyRef& ref, const Node& committed, CKeyRecordOp** op)
{
    *op = m_change.KeyOp(ref.node);
    if (*op != nullptr)
        return status::kSuccess;
    Node copy;
    NtStatus st = CopyNode(committed, copy);
    if (!NtSuccess(st))
        return st;
    SetNodeRef(*copy, ref);
    *op = m_change.AddKey(ref.node, std::make_unique<CKeyRecordOp>(CRecordOp::kUpdate, copy, *m_cipher, m_cache));
    return status::kSuccess;
}

NtStatus CDataRoot::LinkValues(Walk& walk, ULONGLONG valuesId, CBlobRecordOp* insert)
{
    walk.ref.values = valuesId;
    if (CKeyRecordOp* own = m_change.KeyOp(walk.ref.node)) {
        SetNodeRef(*own->GetNode(), walk.ref);
        insert->SetOwner(own->GetNode());
    }
    if (!walk.parent) {
        // The root record names the root key's values record.
        CBlobRecordOp* rootOp = m_change.BlobOp(m_db.RootRecord());
        if (rootOp == nullptr) {
            CByteBuffer record;
            NtStatus st = m_db.Read(m_db.RootRecord(), record);
            if (!NtSuccess(st))
                return st;
            if (record.Size() < 16)
                return status::kFileCorrupt;
            rootOp = m_change.AddBlob(
                m_db.RootRecord(),
                std::make_unique<CBlobRecordOp>(CRecordOp::kUpdate, m_db.RootRecord(),
                                                std::vector<BYTE>(record.Data(), record.Data() + record.Size())));
        }
        insert->SetHolder([this, rootOp](ULONGLONG id) {
            rootOp->SetIdAt(kDescriptorValuesAt, id);
            m_root.values = id; // an aborted commit reads the root record again
        });
        m_pendingRoot = walk.ref;
        m_rootPending = true;
        return status::kSuccess;
    }
    CKeyRecordOp* parentOp = nullptr;
    NtStatus st = PendingNode(walk.parentRef, walk.parent, &parentOp);
    if (!NtSuccess(st))
        return st;
    BYTE record[24];
    PutRef(walk.ref, record);
    st = parentOp->GetNode()->SetValue(walk.name, record);
    if (NtSuccess(st))
        insert->SetHolder(EntryHolder(parentOp->GetNode(), walk.name, kDescriptorValuesAt));
    return st;
}

NtStatus CDataRoot::QueueValues(const CountedString& path, const CValueTable& changes, bool* created)
{
    Walk walk;
    std::vector<CountedString> missing;
    NtStatus st = WalkInChange(path, walk, &missing);
    if (!NtSuccess(st))
        return st;
    if (created != nullptr)
        *created = !missing.empty();

    CValueTable merged;
    if (missing.empty()) {
        st = ValuesInChange(walk.ref, merged);
        if (!NtSuccess(st))
            return st;
    }
    st = merged.Merge(changes);
    std::vector<BYTE> image, bytes;
    if (NtSuccess(st))
        st = merged.SaveImage(image);
    if (NtSuccess(st))
        st = Encipher(image.data(), static_cast<DWORD>(image.size()), bytes);
    if (!NtSuccess(st))
        return st;

    if (missing.empty()) {
        if (CBlobRecordOp* op = m_change.BlobOp(walk.ref.values)) {
            op->Replace(std::move(bytes)); // one operation per record
            return status::kSuccess;
        }
        if (walk.ref.values != 0) {
            m_change.AddBlob(walk.ref.values,
                             std::make_unique<CBlobRecordOp>(CRecordOp::kUpdate, walk.ref.values, std::move(bytes)));
            return status::kSuccess;
        }
        // A key without a values record gets one, named by its parent's entry (or the root record).
        ULONGLONG id = m_change.NewId();
        CBlobRecordOp* insert =
            m_change.AddBlob(id, std::make_unique<CBlobRecordOp>(CRecordOp::kInsert, 0, std::move(bytes)));
        return LinkValues(walk, id, insert);
    }

    // New keys along the path, each linked into its parent; the last one holds the values.
    CKeyRecordOp* parentOp = nullptr;
    st = PendingNode(walk.ref, walk.node, &parentOp);
    if (!NtSuccess(st))
        return st;
    for (size_t i = 0; i < missing.size(); ++i) {
        Node child;
        try {
            child = std::make_shared<CNameValueBlob>();
        } catch (const std::bad_alloc&) {
            return status::kNoMemory;
        }
        KeyRef childRef{m_change.NewId(), 0, 0};
        if (i + 1 == missing.size()) {
            childRef.values = m_change.NewId();
            CBlobRecordOp* insert = m_change.AddBlob(
                childRef.values, std::make_unique<CBlobRecordOp>(CRecordOp::kInsert, 0, std::move(bytes)));
            insert->SetOwner(child);
            insert->SetHolder(EntryHolder(parentOp->GetNode(), missing[i], kDescriptorValuesAt));
        }
        SetNodeRef(*child, childRef);
        BYTE record[24];
        PutRef(childRef, record);
        st = parentOp->GetNode()->SetValue(missing[i], record);
        if (!NtSuccess(st))
            return st;
        CKeyRecordOp* childOp = m_change.AddKey(
            childRef.node, std::make_unique<CKeyRecordOp>(CRecordOp::kInsert, child, *m_cipher, m_cache));
        childOp->SetHolder(EntryHolder(parentOp->GetNode(), missing[i], kDescriptorNodeAt));
        parentOp = childOp;
    }
    return status::kSuccess;
}

NtStatus CDataRoot::CollectSubtree(const KeyRef& top, std::vector<ULONGLONG>& records)
{
    // The descriptors come from the file: walk them with a list of our own, not the stack, and
    // take a node met twice (a subkey naming an ancestor or a shared node) as a corrupt store.
    std::vector<KeyRef> pending;
    std::set<ULONGLONG> seen;
    try {
        pending.push_back(top);
        while (!pending.empty()) {
            KeyRef ref = pending.back();
            pending.pop_back();
            if (ref.flags & kFlagNoDelete)
                return status::kAccessDenied;
            if (!seen.insert(ref.node).second || (ref.values != 0 && !seen.insert(ref.values).second))
                return status::kFileCorrupt;
            records.push_back(ref.node);
            if (ref.values != 0)
                records.push_back(ref.values);
            if (ref.flags & kFlagNoDescend)
                continue;
            Node node;
            NtStatus st = NodeInChange(ref, node);
            if (!NtSuccess(st))
                return st;
            node->ForEach([&](const CountedString&, const BYTE* record) {
                pending.push_back(RefOf(record));
                return true;
            });
        }
    } catch (const std::bad_alloc&) {
        return status::kNoMemory;
    }
    return status::kSuccess;
}

NtStatus CDataRoot::QueueDelete(const CountedString& path)
{
    // The parent's path is everything before the last backslash.
    size_t units = path.length / 2, cut = units;
    while (cut > 0 && path.text[cut - 1] != L'\\')
        --cut;
    CountedString parentPath{static_cast<USHORT>(cut > 0 ? (cut - 1) * 2 : 0), 0, path.text};
    parentPath.capacity = parentPath.length;
    CountedString name{static_cast<USHORT>((units - cut) * 2), 0, path.text + cut};
    name.capacity = name.length;

    Walk walk;
    NtStatus st = WalkInChange(parentPath, walk, nullptr);
    if (st == status::kNotFound)
        return status::kSuccess;
    if (!NtSuccess(st))
        return st;
    BYTE record[24];
    st = walk.node->CopyValue(name, record);
    if (st == status::kNotFound)
        return status::kSuccess;
    if (!NtSuccess(st))
        return st;
    std::vector<ULONGLONG> records;
    st = CollectSubtree(RefOf(record), records);
    if (!NtSuccess(st))
        return st;
    CKeyRecordOp* parentOp = nullptr;
    st = PendingNode(walk.ref, walk.node, &parentOp);
    if (!NtSuccess(st))
        return st;
    // A record that this change writes loses its operation: a new one is never written, an
    // existing one is freed instead.
    for (ULONGLONG id : records) {
        m_change.Drop(id);
        if (!IsProvisional(id))
            m_change.AddDelete(std::make_unique<CDeleteRecordOp>(id, m_cache));
    }
    return parentOp->GetNode()->RemoveValue(name);
}

NtStatus CDataRoot::Finish(NtStatus st)
{
    if (!NtSuccess(st)) {
        if (m_inTransaction) {
            // The transaction has lost this write: it can no longer commit as a whole.
            DropChange();
            m_failed = st;
        } else {
            AbortTransaction();
        }
        return st;
    }
    if (!m_inTransaction) {
        st = CommitTransaction();
        if (!NtSuccess(st))
            return st;
    }
    return Report(st);
}

NtStatus CDataRoot::SetValues(const CountedString& path, const CValueTable& changes, bool force, bool* created)
{
    if (!m_db.IsOpen())
        return status::kUnsuccessful;
    if (m_readOnly || (m_writeProtected && !force))
        return status::kAccessDenied;
    if (!NtSuccess(m_failed))
        return m_failed;
    NtStatus st;
    try {
        st = QueueValues(path, changes, created);
    } catch (const std::bad_alloc&) {
        st = status::kNoMemory;
    }
    return Finish(st);
}

NtStatus CDataRoot::SetValue(const CountedString& path, const CountedString* name, DWORD type, const void* data,
                             DWORD size, bool force, bool* created)
{
    if (name == nullptr || name->length == 0 || (data == nullptr && size != 0))
        return status::kInvalidParameter;
    CValueTable one;
    NtStatus st = one.Set(type, *name, data, size);
    if (!NtSuccess(st))
        return st;
    return SetValues(path, one, force, created);
}

NtStatus CDataRoot::DeleteKey(const CountedString& path, bool force)
{
    if (!m_db.IsOpen())
        return status::kUnsuccessful;
    if (m_readOnly || (m_writeProtected && !force) || path.length == 0)
        return status::kAccessDenied;
    if (!NtSuccess(m_failed))
        return m_failed;
    NtStatus st;
    try {
        st = QueueDelete(path);
    } catch (const std::bad_alloc&) {
        st = status::kNoMemory;
    }
    return Finish(st);
}

NtStatus CDataRoot::BeginTransaction()
{
    if (m_readOnly)
        return status::kSuccess;
    if (m_inTransaction)
        return status::kUnsuccessful;
    m_inTransaction = true;
    return status::kSuccess;
}

NtStatus CDataRoot::CommitTransaction()
{
    if (m_readOnly)
        return status::kSuccess;
    m_inTransaction = false;
    if (!NtSuccess(m_failed)) {
        // A write of this transaction failed: committing the rest would be a partial commit.
        NtStatus failed = m_failed;
        DropChange();
        return failed;
    }
    if (m_change.IsEmpty())
        return status::kSuccess;
    NtStatus st;
    try {
        st = m_db.ApplyBatch(m_change.Batch());
    } catch (const std::bad_alloc&) {
        st = status::kNoMemory;
    }
    if (NtSuccess(st))
        st = m_db.Checkpoint();
    if (!NtSuccess(st)) {
        AbortTransaction();
        return st;
    }
    DropChange();
    return st;
}

NtStatus CDataRoot::AbortTransaction()
{
    if (m_readOnly)
        return status::kSuccess;
    DropChange();
    m_cache.Clear();
    m_inTransaction = false;
    NtStatus st = m_db.Revert();
    if (NtSuccess(st) && m_db.RootRecord() != 0)
        st = LoadRoot();
    return st;
}

NtStatus CDataRoot::SetWriteProtect(bool on)
{
    if (!m_db.IsOpen())
        return status::kUnsuccessful;
    m_writeProtected = on;
    return status::kSuccess;
}

NtStatus CDataRoot::Refresh(bool force)
{
    if (!m_db.IsOpen())
        return status::kUnsuccessful;
    if (m_writeProtected && !force)
        return status::kAccessDenied;
    m_cache.Clear();
    NtStatus st = LoadRoot();
    if (st == status::kFileCorrupt) {
        // Only a backup that opens as a sound store may replace it.
        CStringBuffer backup;
        st = backup.Assign(m_path.Get());
        if (NtSuccess(st))
            st = backup.Append(L".bak");
        if (!NtSuccess(st))
            return st;
        {
            CDataRoot probe;
            Options probeOptions;
            probeOptions.readOnlyRequested = true;
            if (!NtSuccess(probe.Open(backup.Text(), probeOptions, m_externalCipher)))
                return status::kFileCorrupt;
        }
        Close();
        st = CSafeFile::RestoreBackup(m_path.Get());
        if (!NtSuccess(st))
            return st;
        st = OpenOnce(m_options);
        if (!NtSuccess(st))
            return st;
        m_restored = true;
    } else if (!NtSuccess(st)) {
        return st;
    }
    if (m_db.IsOpen() && !m_readOnly) {
        st = m_db.MakeBackup();
        if (!NtSuccess(st))
            return st;
    }
    return m_restored ? status::kRestored : status::kSuccess;
}

NtStatus CDataRoot::AreBackupsEnabled(bool* enabled)
{
    // An internal read: the restored flag stays for the caller's next operation.
    struct KeepFlag {
        bool& flag;
        bool saved;
        ~KeepFlag() { flag = saved; }
    } keep{m_restored, m_restored};
    CValueTable values;
    CountedString path;
    if (FAILED(MakeCountedString(L"qkSettingsData", path))) {
        *enabled = false;
        return status::kSuccess;
    }
    NtStatus st = GetValues(path, values);
    if (st == status::kNotFound) {
        *enabled = true;
        return status::kSuccess;
    }
    if (!NtSuccess(st))
        return st;
    CountedString name;
    MakeCountedString(L"SuppressBackups", name);
    const CStoredValue* v = values.Find(name);
    if (v != nullptr && v->Size() == 4) {
        DWORD value;
        std::memcpy(&value, v->Data(), 4);
        *enabled = value == 0;
    } else {
        *enabled = true;
    }
    return status::kSuccess;
}

} // namespace qkSettings
