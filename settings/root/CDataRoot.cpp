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

// The owner words of a node blob carry its key reference.
void SetNodeRef(CNameValueBlob& node, const KeyRef& ref)
{
    DWORD* w = node.OwnerWords();
    w[0] = static_cast<DWORD>(ref.node);
    w[1] = static_cast<DWORD>(ref.node >> 32);
    w[2] = static_cast<DWORD>(ref.values);
    w[3] = static_cast<DWORD>(ref.values >> 32);
    w[4] = ref.flags;
}

KeyRef NodeRef(const CNameValueBlob& node)
{
    const DWORD* w = node.OwnerWords();
    return KeyRef{w[0] | (static_cast<ULONGLONG>(w[1]) << 32), w[2] | (static_cast<ULONGLONG>(w[3]) << 32), w[4]};
}

} // namespace

CDataRoot::~CDataRoot()
{
    Close();
}

KeyRef CDataRoot::RefOf(const BYTE* d)
{
    KeyRef r;
    std::memcpy(&r.node, d, 8);
    std::memcpy(&r.values, d + 8, 8);
    std::memcpy(&r.flags, d + 16, 4);
    return r;
}

void CDataRoot::PutRef(const KeyRef& ref, BYTE* record24)
{
    std::memset(record24, 0, 24);
    std::memcpy(record24, &ref.node, 8);
    std::memcpy(record24 + 8, &ref.values, 8);
    std::memcpy(record24 + 16, &ref.flags, 4);
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
        st = CreateStore();
        if (NtSuccess(st))
            st = CommitTransaction();
        else
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
    DropCache();
}

void CDataRoot::DropCache()
{
    m_cache.clear();
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
        return kEncryptionFailed;
    return status::kSuccess;
}

NtStatus CDataRoot::ReadPlain(ULONGLONG id, CByteBuffer& out)
{
    NtStatus st = m_db.Read(id, out);
    if (!NtSuccess(st))
        return st;
    DWORD n = out.Size();
    if (!m_cipher->Decrypt(out.Data(), out.Size(), out.Data(), &n))
        return kDecryptionFailed;
    return status::kSuccess;
}

NtStatus CDataRoot::InsertRecord(const std::vector<BYTE>& plain, ULONGLONG* id)
{
    std::vector<BYTE> enc;
    NtStatus st = Encipher(plain.data(), static_cast<DWORD>(plain.size()), enc);
    if (NtSuccess(st))
        st = m_db.Insert(enc.data(), static_cast<DWORD>(enc.size()), id);
    return st;
}

NtStatus CDataRoot::UpdateRecord(ULONGLONG id, const std::vector<BYTE>& plain)
{
    std::vector<BYTE> enc;
    NtStatus st = Encipher(plain.data(), static_cast<DWORD>(plain.size()), enc);
    if (NtSuccess(st))
        st = m_db.Update(id, enc.data(), static_cast<DWORD>(enc.size()));
    return st;
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
    std::vector<BYTE> image;
    NtStatus st = empty.SaveImage(image);
    KeyRef root;
    if (NtSuccess(st))
        st = InsertRecord(image, &root.values);
    CNameValueBlob node;
    CByteBuffer blob;
    if (NtSuccess(st))
        st = node.SerializeToOwnBuffer(blob);
    if (NtSuccess(st))
        st = InsertRecord(std::vector<BYTE>(blob.Data(), blob.Data() + node.TotalSize()), &root.node);
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
    for (auto it = m_cache.begin(); it != m_cache.end(); ++it) {
        if (it->first != ref.node)
            continue;
        KeyRef cached = NodeRef(*it->second);
        if (cached.values == ref.values && cached.flags == ref.flags) {
            m_cache.splice(m_cache.begin(), m_cache, it);
            ++m_hits;
            out = m_cache.front().second;
            return status::kSuccess;
        }
        m_cache.erase(it);
        break;
    }
    ++m_misses;
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
        while (m_cache.size() >= kCacheCapacity)
            m_cache.pop_back();
        m_cache.emplace_front(ref.node, node);
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
        return kStatusRestored;
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
    if (!NtSuccess(st))
        return st;
    DWORD trueLength = 0;
    if (buffer.Size() < 8)
        return status::kFileCorrupt;
    std::memcpy(&trueLength, buffer.Data() + 4, 4);
    if (trueLength > buffer.Size())
        return status::kFileCorrupt;
    st = out.LoadImage(buffer.Data(), trueLength);
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

NtStatus CDataRoot::WriteNode(const Node& node, const KeyRef& ref)
{
    CByteBuffer blob;
    NtStatus st = node->SerializeToOwnBuffer(blob);
    if (!NtSuccess(st))
        return st;
    return UpdateRecord(ref.node, std::vector<BYTE>(blob.Data(), blob.Data() + node->TotalSize()));
}

NtStatus CDataRoot::WriteValues(const CountedString& path, const CValueTable& changes, bool* created)
{
    // Walk as far as the path exists.
    Node node;
    KeyRef ref = m_root;
    NtStatus st = LoadNode(ref, node);
    if (!NtSuccess(st))
        return st;
    std::vector<CountedString> missing;
    Node above; // the parent of the last key reached, with that key's name in it
    KeyRef aboveRef;
    CountedString lastName{};
    if (path.length > 0) {
        st = VisitPathComponents(path, [&](const CountedString& name, bool) {
            if (!missing.empty()) {
                missing.push_back(name);
                return status::kSuccess;
            }
            BYTE record[24];
            NtStatus s = node->CopyValue(name, record);
            if (s == status::kNotFound) {
                missing.push_back(name);
                return status::kSuccess;
            }
            if (!NtSuccess(s))
                return s;
            above = node;
            aboveRef = ref;
            lastName = name;
            ref = RefOf(record);
            return LoadNode(ref, node);
        });
        if (!NtSuccess(st))
            return st;
    }
    if (created != nullptr)
        *created = !missing.empty();

    CValueTable merged;
    if (missing.empty() && ref.values != 0) {
        st = GetValues(path, merged);
        if (st == kStatusRestored)
            st = status::kSuccess;
        if (!NtSuccess(st))
            return st;
    }
    st = merged.Merge(changes);
    std::vector<BYTE> image;
    if (NtSuccess(st))
        st = merged.SaveImage(image);
    if (!NtSuccess(st))
        return st;

    if (missing.empty()) {
        if (ref.values != 0)
            return UpdateRecord(ref.values, image);
        // A key without a values record gets one; its parent's entry (or the root record) names it.
        KeyRef linked = ref;
        st = InsertRecord(image, &linked.values);
        if (!NtSuccess(st))
            return st;
        if (!above)
            return SetRootValues(linked.values);
        st = WriteLinkedCopy(above, aboveRef, lastName, linked);
        if (NtSuccess(st))
            ForgetNode(aboveRef.node);
        return st;
    }
    // Create the missing keys one level at a time, each linked into its parent.
    CValueTable emptyTable;
    std::vector<BYTE> emptyImage;
    st = emptyTable.SaveImage(emptyImage);
    if (!NtSuccess(st))
        return st;
    Node parent = node;
    KeyRef parentRef = ref;
    for (size_t i = 0; i < missing.size(); ++i) {
        bool last = i + 1 == missing.size();
        KeyRef child;
        st = InsertRecord(last ? image : emptyImage, &child.values);
        if (!NtSuccess(st))
            return st;
        CNameValueBlob emptyNode;
        CByteBuffer blob;
        st = emptyNode.SerializeToOwnBuffer(blob);
        if (NtSuccess(st))
            st = InsertRecord(std::vector<BYTE>(blob.Data(), blob.Data() + emptyNode.TotalSize()), &child.node);
        if (!NtSuccess(st))
            return st;
        st = WriteLinkedCopy(parent, parentRef, missing[i], child);
        if (!NtSuccess(st))
            return st;
        ForgetNode(parentRef.node);
        st = LoadNode(child, parent);
        if (!NtSuccess(st))
            return st;
        parentRef = child;
    }
    return status::kSuccess;
}

// A node is changed in a copy, so that the cache never holds an unsaved node.
NtStatus CDataRoot::CopyNode(const Node& from, Node& copy)
{
    try {
        copy = std::make_shared<CNameValueBlob>();
    } catch (const std::bad_alloc&) {
        return status::kNoMemory;
    }
    return from->Clone(*copy);
}

NtStatus CDataRoot::WriteLinkedCopy(const Node& parent, const KeyRef& parentRef, const CountedString& name,
                                    const KeyRef& child)
{
    Node updated;
    NtStatus st = CopyNode(parent, updated);
    BYTE record[24];
    PutRef(child, record);
    if (NtSuccess(st))
        st = updated->SetValue(name, record);
    if (NtSuccess(st))
        st = WriteNode(updated, parentRef);
    return st;
}

void CDataRoot::ForgetNode(ULONGLONG nodeId)
{
    for (auto it = m_cache.begin(); it != m_cache.end(); ++it)
        if (it->first == nodeId) {
            m_cache.erase(it);
            return;
        }
}

NtStatus CDataRoot::SetRootValues(ULONGLONG valuesId)
{
    CByteBuffer record;
    NtStatus st = m_db.Read(m_db.RootRecord(), record);
    if (!NtSuccess(st))
        return st;
    if (record.Size() < 16)
        return status::kFileCorrupt;
    std::memcpy(record.Data() + 8, &valuesId, 8);
    st = m_db.Update(m_db.RootRecord(), record.Data(), record.Size());
    if (NtSuccess(st))
        m_root.values = valuesId;
    return st;
}

NtStatus CDataRoot::Finish(NtStatus st)
{
    if (!NtSuccess(st)) {
        AbortTransaction();
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
    return Finish(WriteValues(path, changes, created));
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
        CValueTable empty;
        std::vector<BYTE> image;
        st = empty.SaveImage(image);
        if (!NtSuccess(st))
            return st;
        DWORD needed = static_cast<DWORD>(image.size());
        if (buffer == nullptr || *size < needed) {
            *size = needed;
            return status::kBufferTooSmall;
        }
        std::memcpy(buffer, image.data(), needed);
        *size = needed;
        return Report(status::kSuccess);
    }
    DWORD recordLength = 0;
    st = m_db.GetRecordSize(ref.values, &recordLength);
    if (!NtSuccess(st))
        return st;
    if (recordLength > *size) {
        *size = recordLength;
        return status::kBufferTooSmall;
    }
    if (buffer == nullptr)
        return status::kInvalidParameter;
    CByteBuffer plain;
    st = ReadPlain(ref.values, plain);
    if (!NtSuccess(st))
        return st;
    DWORD trueLength = 0;
    if (plain.Size() < 8)
        return status::kFileCorrupt;
    std::memcpy(&trueLength, plain.Data() + 4, 4);
    if (trueLength > plain.Size() || trueLength > recordLength)
        return status::kFileCorrupt;
    std::memcpy(buffer, plain.Data(), trueLength);
    *size = trueLength;
    return Report(status::kSuccess);
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
    DWORD needed = node->TotalSize();
    if (needed > *size) {
        *size = needed;
        return status::kBufferTooSmall;
    }
    if (buffer == nullptr)
        return status::kInvalidParameter;
    return node->Serialize(buffer, size);
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
            NtStatus st = LoadNode(ref, node);
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

NtStatus CDataRoot::DeleteKey(const CountedString& path, bool force)
{
    if (!m_db.IsOpen())
        return status::kUnsuccessful;
    if (m_readOnly || (m_writeProtected && !force) || path.length == 0)
        return status::kAccessDenied;
    // The parent's path is everything before the last backslash.
    size_t units = path.length / 2, cut = units;
    while (cut > 0 && path.text[cut - 1] != L'\\')
        --cut;
    CountedString parentPath{static_cast<USHORT>(cut > 0 ? (cut - 1) * 2 : 0), 0, path.text};
    parentPath.capacity = parentPath.length;
    CountedString name{static_cast<USHORT>((units - cut) * 2), 0, path.text + cut};
    name.capacity = name.length;

    Node parent;
    KeyRef parentRef;
    NtStatus st = Resolve(parentPath, parent, parentRef);
    if (st == status::kNotFound)
        return Report(status::kSuccess);
    if (!NtSuccess(st))
        return st;
    BYTE record[24];
    st = parent->CopyValue(name, record);
    if (st == status::kNotFound)
        return Report(status::kSuccess);
    if (!NtSuccess(st))
        return st;
    std::vector<ULONGLONG> records;
    st = CollectSubtree(RefOf(record), records);
    if (!NtSuccess(st))
        return st;

    struct DeleteOp : IRecordOperation {
        ULONGLONG id;
        explicit DeleteOp(ULONGLONG i) : id(i) {}
        DWORD GetKind() const override { return kDelete; }
        ULONGLONG GetRecordId() const override { return id; }
        const BYTE* Data() const override { return nullptr; }
        DWORD DataSize() const override { return 0; }
        void OnWritten(ULONGLONG) override {}
    };
    std::vector<DeleteOp> ops;
    std::vector<IRecordOperation*> batch;
    try {
        ops.reserve(records.size());
        for (ULONGLONG id : records)
            ops.emplace_back(id);
        for (auto& op : ops)
            batch.push_back(&op);
    } catch (const std::bad_alloc&) {
        return status::kNoMemory;
    }
    st = m_db.ApplyBatch(batch);
    if (NtSuccess(st)) {
        Node updated;
        st = CopyNode(parent, updated);
        if (NtSuccess(st))
            st = updated->RemoveValue(name);
        if (NtSuccess(st))
            st = WriteNode(updated, parentRef);
    }
    DropCache();
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
    NtStatus st = m_db.Checkpoint();
    if (!NtSuccess(st))
        AbortTransaction();
    return st;
}

NtStatus CDataRoot::AbortTransaction()
{
    if (m_readOnly)
        return status::kSuccess;
    DropCache();
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
    DropCache();
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
    return m_restored ? kStatusRestored : status::kSuccess;
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
