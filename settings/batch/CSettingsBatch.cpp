#include "settings/batch/CSettingsBatch.h"

#include <cwchar>
#include <new>

#include "common/base/qkTrace.h"
#include "settings/objects/CSettings.h"
#include "settings/objects/qkSettingsPath.h"
#include "common/base/qkTextCompare.h"

namespace qkSettings {

namespace {

bool SameText(const wchar_t* a, const wchar_t* b, size_t units)
{
    return qkLib::EqualsLinguisticNoCase(std::wstring_view(a, units), std::wstring_view(b, units));
}

} // namespace

bool CSettingsBatch::Covers(const std::wstring& a, const std::wstring& b)
{
    if (a.empty() || b.size() < a.size() || !SameText(a.c_str(), b.c_str(), a.size()))
        return false;
    return b.size() == a.size() || b[a.size()] == L'\\' || a == L"\\";
}

HRESULT CSettingsBatch::Create(ISettingsMgr* manager, ISettingsBatch** out)
{
    if (manager == nullptr)
        return ResultHr(result::kInvalidArg);
    CSettingsBatch* batch = new (std::nothrow) CSettingsBatch();
    if (batch == nullptr) {
        QK_TRACE(L"no memory for a settings batch");
        return ResultHr(result::kOutOfMemory);
    }
    batch->m_manager = manager;
    batch->AddRef();
    *out = batch;
    return ResultHr(result::kOk);
}

CSettingsBatch::~CSettingsBatch()
{
    if (m_state == kOpen && (!m_saves.empty() || !m_deletes.empty()))
        QK_TRACE(L"open batch released: %u saves and %u deletions dropped", static_cast<unsigned>(m_saves.size()),
                 static_cast<unsigned>(m_deletes.size()));
    ClearQueued();
}

void* CSettingsBatch::GetInterface(REFIID iid)
{
    if (IsEqualGUID(iid, IID_ISettingsBatch) || IsEqualGUID(iid, GUID_NULL) || IsEqualGUID(iid, IID_IUnknown))
        return static_cast<ISettingsBatch*>(this);
    return nullptr;
}

HRESULT CSettingsBatch::GetSettings(LPCWSTR path, ISettings** settings)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_state != kOpen) {
        QK_TRACE(L"batch no longer open");
        return ResultHr(result::kBatchClosed);
    }
    return m_manager->GetSettings(path, settings);
}

HRESULT CSettingsBatch::PutSettings(ISettings* settings, DWORD)
{
    if (settings == nullptr)
        return ResultHr(result::kInvalidArg);
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_state != kOpen) {
        QK_TRACE(L"batch no longer open");
        return ResultHr(result::kBatchClosed);
    }
    Microsoft::WRL::ComPtr<ISettingsInternal> internal;
    if (FAILED(settings->QueryInterface(IID_ISettingsInternal, reinterpret_cast<void**>(internal.GetAddressOf()))) ||
        !internal)
        return ResultHr(result::kInvalidArg);
    try {
        std::wstring path;
        {
            auto objectLock = internal->Lock();
            const CStringBuffer& p = internal->GetPath();
            path.assign(p.Text(), p.Length() / 2);
        }
        for (const auto& deleted : m_deletePaths)
            if (Covers(deleted, path)) {
                QK_TRACE(L"%s lies in a queued deletion", path.c_str());
                return ResultHr(result::kAlreadyExists);
            }
        for (const auto& saved : m_savePaths)
            if (saved.size() == path.size() && SameText(saved.c_str(), path.c_str(), path.size())) {
                QK_TRACE(L"%s is already queued", path.c_str());
                return ResultHr(result::kAlreadyExists);
            }
        m_savePaths.push_back(path);
        try {
            m_saves.emplace_back(settings);
        } catch (...) {
            m_savePaths.pop_back();
            throw;
        }
    } catch (const std::bad_alloc&) {
        QK_TRACE(L"no memory to queue a save");
        return ResultHr(result::kOutOfMemory);
    }
    return ResultHr(result::kOk);
}

HRESULT CSettingsBatch::DeleteSettings(LPCWSTR path, DWORD)
{
    if (path == nullptr)
        return ResultHr(result::kInvalidArg);
    std::wstring text(path, ::wcsnlen(path, kMaxCountedUnits));
    CStringBuffer normalized;
    NtStatus st = NormalizePath(text.c_str(), normalized);
    if (!NtSuccess(st))
        return ResultHr(MapStatusToResult(st));
    if (normalized.Length() <= 2) {
        QK_TRACE(L"the root section cannot be deleted");
        return ResultHr(result::kAccessDenied);
    }
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_state != kOpen) {
        QK_TRACE(L"batch no longer open");
        return ResultHr(result::kBatchClosed);
    }
    try {
        std::wstring norm(normalized.Text(), normalized.Length() / 2);
        for (const auto& saved : m_savePaths)
            if (Covers(norm, saved)) {
                QK_TRACE(L"%s covers a queued save", norm.c_str());
                return ResultHr(result::kAlreadyExists);
            }
        for (const auto& deleted : m_deletePaths)
            if (Covers(norm, deleted) || Covers(deleted, norm)) {
                QK_TRACE(L"%s overlaps a queued deletion", norm.c_str());
                return ResultHr(result::kAlreadyExists);
            }
        m_deletePaths.push_back(norm);
        try {
            m_deletes.emplace_back(path);
        } catch (...) {
            m_deletePaths.pop_back();
            throw;
        }
    } catch (const std::bad_alloc&) {
        QK_TRACE(L"no memory to queue a deletion");
        return ResultHr(result::kOutOfMemory);
    }
    return ResultHr(result::kOk);
}

HRESULT CSettingsBatch::Commit()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_state != kOpen) {
        QK_TRACE(L"batch no longer open");
        return ResultHr(result::kBatchClosed);
    }
    HRESULT hr = ApplyQueued();
    m_state = SUCCEEDED(hr) ? kCommitted : kFailed;
    return hr;
}

HRESULT CSettingsBatch::ApplyQueued()
{
    Microsoft::WRL::ComPtr<ISettingsTransaction> transaction;
    if (FAILED(m_manager->QueryInterface(IID_ISettingsTransaction,
                                         reinterpret_cast<void**>(transaction.GetAddressOf()))) ||
        !transaction)
        return ResultHr(result::kNotImplemented);
    HRESULT hr = transaction->BeginTransaction();
    if (FAILED(hr)) {
        QK_TRACE(L"could not begin the transaction: 0x%08lX", static_cast<unsigned long>(hr));
        return hr;
    }
    // The first failure ends the run and rolls the whole transaction back: a batch never
    // commits in part.
    for (auto& settings : m_saves) {
        hr = m_manager->PutSettings(settings.Get());
        if (FAILED(hr))
            break;
    }
    if (SUCCEEDED(hr)) {
        for (const auto& path : m_deletes) {
            hr = m_manager->DeleteSettings(path.c_str());
            if (FAILED(hr))
                break;
        }
    }
    ClearQueued();
    if (FAILED(hr)) {
        HRESULT undo = transaction->RollbackTransaction();
        if (FAILED(undo))
            QK_TRACE(L"roll back failed: 0x%08lX", static_cast<unsigned long>(undo));
        return hr;
    }
    hr = transaction->CommitTransaction();
    if (FAILED(hr))
        QK_TRACE(L"commit failed: 0x%08lX", static_cast<unsigned long>(hr));
    return hr;
}

HRESULT CSettingsBatch::Discard()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_state != kOpen)
        return ResultHr(result::kOk);
    ClearQueued();
    m_state = kDiscarded;
    return ResultHr(result::kOk);
}

void CSettingsBatch::ClearQueued()
{
    m_saves.clear();
    m_deletes.clear();
}

} // namespace qkSettings
