#include "settings/manager/CSettingsMgr.h"

#include <cwchar>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include <wrl/client.h>

#include "common/base/qkScopedLock.h"
#include "common/base/qkTrace.h"
#include "settings/batch/CSettingsBatch.h"
#include "settings/file/CSafeFile.h"
#include "settings/objects/CSettings.h"
#include "settings/objects/CValueNameList.h"
#include "settings/objects/qkSettingsPath.h"
#include "settings/store/qkSettingsText.h"

namespace qkSettings {

namespace {

// The data root reports a store restored from its backup as success with information: for the
// manager's caller that is success (the table maps any other success value to failure).
HRESULT Mapped(NtStatus st)
{
    return StatusHr(st > 0 ? status::kSuccess : st);
}

bool TooLong(LPCWSTR path)
{
    return std::wcslen(path) > kMaxCountedUnits;
}

} // namespace

// Hands the data root's cipher calls to the caller's cipher object.
class CSettingsMgr::CipherAdapter : public ICipher {
public:
    explicit CipherAdapter(ISettingsCipher* cipher) : m_cipher(cipher) {}
    DWORD GetBlockSize() override { return m_cipher->GetBlockSize(); }
    bool Encrypt(const void* s, DWORD n, void* t, DWORD* tn) override
    {
        return m_cipher->Encrypt(s, n, t, tn) != FALSE;
    }
    bool Decrypt(const void* s, DWORD n, void* t, DWORD* tn) override
    {
        return m_cipher->Decrypt(s, n, t, tn) != FALSE;
    }

private:
    Microsoft::WRL::ComPtr<ISettingsCipher> m_cipher;
};

CSettingsMgr::CSettingsMgr() = default;

CSettingsMgr::~CSettingsMgr()
{
    if (m_root)
        m_root->Close();
}

// A new settings object for the path, with one reference; a bad path gives its mapped result.
HRESULT CSettingsMgr::NewSettings(LPCWSTR path, Microsoft::WRL::ComPtr<CSettings>& object)
{
    // Assignment takes the one reference (this toolchain's Attach takes one of its own).
    object = new (std::nothrow) CSettings();
    if (!object)
        return ResultHr(result::kOutOfMemory);
    HRESULT hr = object->Initialize(path);
    if (FAILED(hr))
        object.Reset();
    return hr;
}

// Only a section the store does not hold gets a new, empty object (the older format's manager
// makes one after any failure of an open store).
HRESULT CSettingsMgr::GetSettings(LPCWSTR path, ISettings** settings)
{
    if (path == nullptr || settings == nullptr)
        return ResultHr(result::kInvalidArg);
    *settings = nullptr;
    HRESULT hr = OpenSettings(path, settings);
    if (hr != ResultHr(result::kNotFound))
        return hr;
    Microsoft::WRL::ComPtr<CSettings> object;
    hr = NewSettings(path, object);
    if (FAILED(hr))
        return hr;
    *settings = object.Detach();
    return ResultHr(result::kOk);
}

HRESULT CSettingsMgr::OpenSettings(LPCWSTR path, ISettings** settings)
{
    if (path == nullptr || settings == nullptr)
        return ResultHr(result::kInvalidArg);
    *settings = nullptr;
    CReadGuard guard(m_lock);
    if (!m_root)
        return ResultHr(result::kNotOpen);
    Microsoft::WRL::ComPtr<CSettings> object;
    HRESULT hr = NewSettings(path, object);
    if (FAILED(hr))
        return hr;
    auto objectLock = object->Lock();
    qkScopedLock rootLock(m_rootAccess);
    NtStatus st = m_root->GetValues(PathView(object->GetPath()), object->GetValueTable());
    if (st == status::kNotFound)
        return ResultHr(result::kNotFound);
    if (!NtSuccess(st))
        return Mapped(st);
    *settings = object.Detach();
    return ResultHr(result::kOk);
}

HRESULT CSettingsMgr::PutSettings(ISettings* settings)
{
    if (settings == nullptr)
        return ResultHr(result::kInvalidArg);
    Microsoft::WRL::ComPtr<ISettingsInternal> internal;
    if (FAILED(settings->QueryInterface(IID_ISettingsInternal, reinterpret_cast<void**>(internal.GetAddressOf()))) ||
        !internal)
        return ResultHr(result::kInvalidArg);
    CWriteGuard guard(m_lock);
    if (!m_root)
        return ResultHr(result::kNotOpen);
    auto objectLock = internal->Lock();
    qkScopedLock rootLock(m_rootAccess);
    bool created = false;
    NtStatus st = m_root->SetValues(PathView(internal->GetPath()), internal->GetValueTable(), false, &created);
    if (!NtSuccess(st))
        return Mapped(st);
    if (m_root->InTransaction())
        KeepUntilCommit(internal.Get());
    else
        internal->GetValueTable().MarkSaved();
    return ResultHr(result::kOk);
}

// Called with the object's lock held. Without memory to remember the save the object keeps its
// changes, and its next save writes them again: nothing is lost.
void CSettingsMgr::KeepUntilCommit(ISettingsInternal* object)
{
    try {
        auto it = m_pendingSaves.begin();
        while (it != m_pendingSaves.end() && it->object.Get() != object)
            ++it;
        if (it == m_pendingSaves.end()) {
            m_pendingSaves.emplace_back();
            it = std::prev(m_pendingSaves.end());
            it->object = object;
        }
        NtStatus st = object->GetValueTable().CopyChanges(it->saved);
        if (!NtSuccess(st)) {
            QK_TRACE(L"could not keep a save until the commit: 0x%08lX", static_cast<unsigned long>(st));
            m_pendingSaves.erase(it);
        }
    } catch (const std::bad_alloc&) {
        QK_TRACE(L"no memory to keep a save until the commit");
    }
}

void CSettingsMgr::EndTransaction(bool committed)
{
    if (committed) {
        for (PendingSave& pending : m_pendingSaves) {
            auto objectLock = pending.object->Lock();
            pending.object->GetValueTable().MarkSaved(pending.saved);
        }
    }
    m_pendingSaves.clear();
}

HRESULT CSettingsMgr::EnumSettings(LPCWSTR path, IEnumSettings** names)
{
    if (path == nullptr || names == nullptr)
        return ResultHr(result::kInvalidArg);
    *names = nullptr;
    if (TooLong(path))
        return ResultHr(result::kInvalidArg);
    CStringBuffer normalized;
    NtStatus st = NormalizePath(path, normalized);
    if (!NtSuccess(st))
        return Mapped(st);
    CReadGuard guard(m_lock);
    if (!m_root)
        return ResultHr(result::kNotOpen);
    CNameValueBlob node;
    {
        qkScopedLock rootLock(m_rootAccess);
        st = m_root->GetKeyNode(PathView(normalized), node);
    }
    if (!NtSuccess(st))
        return Mapped(st);
    std::vector<std::wstring> list;
    try {
        node.ForEach([&](const CountedString& name, const BYTE*) {
            list.emplace_back(name.text, name.length / 2);
            return true;
        });
    } catch (const std::bad_alloc&) {
        return ResultHr(result::kOutOfMemory);
    }
    return CNameList::Create(std::move(list), names);
}

HRESULT CSettingsMgr::DeleteSettings(LPCWSTR path)
{
    if (path == nullptr || TooLong(path))
        return ResultHr(result::kInvalidArg);
    CStringBuffer normalized;
    NtStatus st = NormalizePath(path, normalized);
    if (!NtSuccess(st))
        return Mapped(st);
    CWriteGuard guard(m_lock);
    if (!m_root)
        return ResultHr(result::kNotOpen);
    return Mapped(m_root->DeleteKey(PathView(normalized), false));
}

HRESULT CSettingsMgr::Open(LPCWSTR storePath, DWORD flags, ISettingsCipher* cipher)
{
    if (storePath == nullptr || std::wcslen(storePath) >= kMaxCountedUnits)
        return ResultHr(result::kInvalidArg);
    // Before anything changes: a read-only open that asks to create would delete the store and fail.
    if ((flags & openflag::kReadOnly) && (flags & (openflag::kCreate | openflag::kCreateNew)))
        return ResultHr(result::kInvalidArg);
    if (flags & openflag::kCreateNew) {
        CountedString name;
        MakeCountedString(storePath, name);
        NtStatus del = CSafeFile::DeleteFile(name);
        if (!NtSuccess(del))
            QK_TRACE(L"could not delete %s: 0x%08lX", storePath, static_cast<unsigned long>(del));
    }
    auto root = std::unique_ptr<CDataRoot>(new (std::nothrow) CDataRoot());
    std::unique_ptr<CipherAdapter> adapter;
    if (cipher != nullptr)
        adapter.reset(new (std::nothrow) CipherAdapter(cipher));
    if (!root || (cipher != nullptr && !adapter))
        return ResultHr(result::kOutOfMemory);
    CDataRoot::Options options;
    options.openExistingOnly = (flags & (openflag::kCreate | openflag::kCreateNew)) == 0;
    options.readOnlyRequested = (flags & openflag::kReadOnly) != 0;
    NtStatus st = root->Open(storePath, options, adapter.get());
    if (!NtSuccess(st))
        return Mapped(st);
    CWriteGuard guard(m_lock);
    if (m_root)
        m_root->Close();
    EndTransaction(false);
    m_root = std::move(root);
    m_cipher = std::move(adapter);
    return ResultHr(result::kOk);
}

HRESULT CSettingsMgr::Close()
{
    CWriteGuard guard(m_lock);
    if (!m_root)
        return ResultHr(result::kNotOpen);
    m_root->Close();
    EndTransaction(false);
    m_root.reset();
    m_cipher.reset();
    return ResultHr(result::kOk);
}

HRESULT CSettingsMgr::BeginTransaction()
{
    CWriteGuard guard(m_lock);
    return m_root ? Mapped(m_root->BeginTransaction()) : ResultHr(result::kNotOpen);
}

HRESULT CSettingsMgr::CommitTransaction()
{
    CWriteGuard guard(m_lock);
    if (!m_root)
        return ResultHr(result::kNotOpen);
    NtStatus st = m_root->CommitTransaction();
    EndTransaction(NtSuccess(st));
    return Mapped(st);
}

HRESULT CSettingsMgr::RollbackTransaction()
{
    CWriteGuard guard(m_lock);
    if (!m_root)
        return ResultHr(result::kNotOpen);
    EndTransaction(false);
    return Mapped(m_root->AbortTransaction());
}

HRESULT CSettingsMgr::CreateSettingsBatch(ISettingsBatch** batch)
{
    if (batch == nullptr)
        return ResultHr(result::kInvalidArg);
    *batch = nullptr;
    return CSettingsBatch::Create(static_cast<ISettingsMgr*>(this), batch);
}

} // namespace qkSettings
