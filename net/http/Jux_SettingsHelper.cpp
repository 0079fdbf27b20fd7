#include "net/http/Jux_SettingsHelper.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkTrace.h"
#include "common/errors/qkTalErrorInstance.h"
#include "common/objects/ReadLibraryRoot.h"
#include "common/objects/qkInstanceFactory.h"
#include "common/objects/qkTalResult.h"
#include "common/system/qkPathExpansion.h"
#include "net/http/Jux_ProxySettings.h"
#include "net/http/Jux_ResultCodes.h"
#include "net/http/Jux_SettingsFactory.h"

#include <new>
#include <string>
#include <vector>

namespace Jux {
namespace {

using Microsoft::WRL::ComPtr;
using qkSettings::ISettings;
using qkSettings::ISettingsMgr;

constexpr HRESULT kStoreOk = static_cast<HRESULT>(0x00010000);
constexpr HRESULT kStoreNoInterface = static_cast<HRESULT>(0x80010200);
constexpr HRESULT kStoreBufferTooSmall = static_cast<HRESULT>(0x80000200);
// A store that another process holds open; expected while two programs share the file.
constexpr HRESULT kStoreSharingViolation = static_cast<HRESULT>(0x8000020D);

// The error-instance property that names the sections a filed failure concerns.
constexpr wchar_t kErrorKeyProperty[] = L"key";

// The settings manager object of the settings DLL and of the instance factory.
constexpr GUID CLSID_ClientSettingsMgr = {0xA91C8C44, 0x02B9, 0x4B02, {0x97, 0xB6, 0x61, 0x96, 0x89, 0x3C, 0x6F, 0x2B}};

// A failure worth keeping beyond a trace: a section could not be made or written. The failing
// result is the second number; a written report names the sections concerned under "key".
void FileError(const wchar_t* what, HRESULT code, const std::vector<std::wstring>& sections)
{
    qkTalErrorInstance report;
    const HRESULT filed = report.Report(L"JuxClientSettings", 0, 0, static_cast<DWORD>(code), 0, false, true, 1, what);
    if (FAILED(filed))
        return;
    for (const std::wstring& section : sections)
        report.SetProperty(kErrorKeyProperty, section.c_str());
}

void FileError(const wchar_t* section, HRESULT code)
{
    FileError(section, code, {section});
}

} // namespace

CSettingsHelper::~CSettingsHelper()
{
    WriteBack();
    Close();
}

HRESULT CSettingsHelper::Store(HRESULT storeCode)
{
    m_lastResult = static_cast<std::uint32_t>(storeCode);
    return HResultFromResultCode(m_lastResult);
}

HRESULT CSettingsHelper::CreateManager(ComPtr<ISettingsMgr>& manager)
{
    // 1. The factory that program start registered.
    HRESULT hr = E_NOTIMPL;
    if (SettingsFactory factory = GetSettingsFactory()) {
        hr = factory(manager.ReleaseAndGetAddressOf());
        if (SUCCEEDED(hr) && manager)
            return S_OK;
        QK_TRACE(L"registered settings factory failed: 0x%08lX", static_cast<unsigned long>(hr));
    }
    // 2. The settings DLL in the library root.
    std::wstring root;
    HRESULT code = qkLib::ReadLibraryRoot(root);
    if (QkFailed(code)) {
        code = QK_E_LOADFAILED;
    } else if (root.size() + wcslen(kSettingsDllName) > MAX_PATH) {
        code = QK_E_UNTRUSTED;
    } else {
        code = CreateObjectFromModule((root + kSettingsDllName).c_str(), CLSID_ClientSettingsMgr,
                                      qkSettings::IID_ISettingsMgr, GetClientModuleLifetimeManager(),
                                      reinterpret_cast<void**>(manager.ReleaseAndGetAddressOf()));
        if (QkSucceeded(code) && manager)
            return S_OK;
    }
    QK_TRACE(L"settings DLL gives no manager: 0x%08lX", static_cast<unsigned long>(code));
    // 3. The process-wide instance factory.
    IInstanceFactory* factory = qkInstanceFactory::GetInstanceFactory();
    if (!factory) {
        QK_TRACE(L"no instance factory");
        return E_OUTOFMEMORY;
    }
    for (const GUID& objectId : {CLSID_ClientSettingsMgr, qkSettings::IID_ISettingsMgrAlias}) {
        code = factory->CreateInstance(objectId, qkSettings::IID_ISettingsMgrAlias,
                                       reinterpret_cast<void**>(manager.ReleaseAndGetAddressOf()));
        if (QkSucceeded(code) && manager)
            return S_OK;
    }
    QK_TRACE(L"instance factory gives no settings manager: 0x%08lX", static_cast<unsigned long>(code));
    return Store(code);
}

HRESULT CSettingsHelper::OpenClientSettings(bool writable)
{
    WriteBack();
    Close();
    std::wstring path;
    qkExceptionInfo info;
    try {
        if (!qkPathExpansion::ExpandPath(kClientSettingsPath, path)) {
            QK_TRACE(L"cannot expand %ls", kClientSettingsPath);
            return HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME);
        }
        ComPtr<ISettingsMgr> manager;
        HRESULT hr = CreateManager(manager);
        if (FAILED(hr))
            return hr;
        const HRESULT code = manager->Open(path.c_str(), writable ? 0 : qkSettings::openflag::kReadOnly, nullptr);
        Store(code);
        if (QkFailed(code)) {
            if (code != kStoreSharingViolation)
                QK_TRACE(L"cannot open %ls: 0x%08lX", path.c_str(), static_cast<unsigned long>(code));
            return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
        }
        m_manager = manager;
        if (QkFailed(manager->QueryInterface(qkSettings::IID_ISettingsStoreAccess,
                                             reinterpret_cast<void**>(m_storeAccess.ReleaseAndGetAddressOf()))))
            m_storeAccess.Reset();
        return S_OK;
    }
    QK_CATCH(info)
    QK_TRACE(L"%ls", info.GetFullText());
    return E_OUTOFMEMORY;
}

HRESULT CSettingsHelper::OpenSection(const wchar_t* path, bool create)
{
    if (!path)
        return E_INVALIDARG;
    if (m_current && _wcsicmp(m_currentPath.c_str(), path) == 0)
        return Store(kStoreOk);
    m_current.Reset();
    m_currentPath.clear();
    if (!m_manager)
        return Store(kStoreNoInterface);
    qkExceptionInfo info;
    try {
        ComPtr<ISettings> section;
        auto known = m_sections.find(path);
        if (known != m_sections.end() && known->second.settings) {
            // A section changed earlier in this operation keeps its pending values.
            section = known->second.settings;
        } else {
            HRESULT code = m_manager->OpenSettings(path, section.GetAddressOf());
            if (code == static_cast<HRESULT>(kResultNotFound) && create) {
                code = m_manager->GetSettings(path, section.ReleaseAndGetAddressOf());
                if (QkFailed(code)) {
                    QK_TRACE(L"cannot create section %ls: 0x%08lX", path, static_cast<unsigned long>(code));
                    FileError(path, code);
                }
            }
            if (QkFailed(code) || !section) {
                if (code != static_cast<HRESULT>(kResultNotFound))
                    QK_TRACE(L"cannot open section %ls: 0x%08lX", path, static_cast<unsigned long>(code));
                return Store(QkFailed(code) ? code : kStoreNoInterface);
            }
            m_sections[path].settings = section;
        }
        m_current = section;
        m_currentPath = path;
        return Store(kStoreOk);
    }
    QK_CATCH(info)
    QK_TRACE(L"%ls", info.GetFullText());
    return E_OUTOFMEMORY;
}

HRESULT CSettingsHelper::GetDword(const wchar_t* name, DWORD& value)
{
    if (!m_current)
        return Store(kStoreNoInterface);
    DWORD read = 0;
    const HRESULT code = m_current->GetDword(name, &read);
    if (QkSucceeded(code))
        value = read;
    else
        QK_TRACE(L"%ls\\%ls: 0x%08lX", m_currentPath.c_str(), name, static_cast<unsigned long>(code));
    return Store(code);
}

HRESULT CSettingsHelper::GetQword(const wchar_t* name, std::uint64_t& value)
{
    if (!m_current)
        return Store(kStoreNoInterface);
    ULONGLONG read = 0;
    const HRESULT code = m_current->GetQword(name, &read);
    if (QkSucceeded(code))
        value = read;
    else
        QK_TRACE(L"%ls\\%ls: 0x%08lX", m_currentPath.c_str(), name, static_cast<unsigned long>(code));
    return Store(code);
}

HRESULT CSettingsHelper::GetString(const wchar_t* name, std::wstring& text)
{
    if (!m_current)
        return Store(kStoreNoInterface);
    qkExceptionInfo info;
    try {
        // A first read into 260 characters; a longer value is read again at the size the store asks.
        std::vector<wchar_t> buffer(MAX_PATH);
        DWORD size = static_cast<DWORD>(buffer.size());
        HRESULT code = m_current->GetString(name, buffer.data(), &size);
        if (code == kStoreBufferTooSmall && size > buffer.size()) {
            buffer.resize(size);
            code = m_current->GetString(name, buffer.data(), &size);
        }
        if (QkSucceeded(code))
            text.assign(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
        else
            QK_TRACE(L"%ls\\%ls: 0x%08lX", m_currentPath.c_str(), name, static_cast<unsigned long>(code));
        return Store(code);
    }
    QK_CATCH(info)
    QK_TRACE(L"%ls", info.GetFullText());
    return E_OUTOFMEMORY;
}

HRESULT CSettingsHelper::EnumValueNames(std::vector<std::wstring>& names)
{
    if (!m_current)
        return Store(kStoreNoInterface);
    qkExceptionInfo info;
    try {
        ComPtr<qkSettings::IEnumValues> values;
        HRESULT code = m_current->EnumValues(values.GetAddressOf());
        if (QkFailed(code) || !values) {
            QK_TRACE(L"cannot list %ls: 0x%08lX", m_currentPath.c_str(), static_cast<unsigned long>(code));
            return Store(QkFailed(code) ? code : kStoreNoInterface);
        }
        DWORD count = 0;
        code = values->GetCount(&count);
        if (QkFailed(code))
            return Store(code);
        std::vector<std::wstring> found;
        for (DWORD i = 0; i < count; ++i) {
            std::vector<wchar_t> buffer(MAX_PATH);
            DWORD size = static_cast<DWORD>(buffer.size());
            DWORD type = 0;
            code = values->GetName(i, buffer.data(), &size, &type);
            if (code == kStoreBufferTooSmall && size > buffer.size()) {
                buffer.resize(size);
                code = values->GetName(i, buffer.data(), &size, &type);
            }
            if (QkFailed(code))
                return Store(code);
            found.emplace_back(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
        }
        names.swap(found);
        return Store(kStoreOk);
    }
    QK_CATCH(info)
    QK_TRACE(L"%ls", info.GetFullText());
    return E_OUTOFMEMORY;
}

HRESULT CSettingsHelper::SetDword(const wchar_t* name, DWORD value)
{
    if (!m_current)
        return Store(kStoreNoInterface);
    const HRESULT code = m_current->SetDword(name, value);
    if (QkFailed(code)) {
        QK_TRACE(L"%ls\\%ls: 0x%08lX", m_currentPath.c_str(), name, static_cast<unsigned long>(code));
        return Store(code);
    }
    MarkForWriteBack();
    return HResultFromResultCode(m_lastResult);
}

HRESULT CSettingsHelper::SetQword(const wchar_t* name, std::uint64_t value)
{
    if (!m_current)
        return Store(kStoreNoInterface);
    const HRESULT code = m_current->SetQword(name, value);
    if (QkFailed(code)) {
        QK_TRACE(L"%ls\\%ls: 0x%08lX", m_currentPath.c_str(), name, static_cast<unsigned long>(code));
        return Store(code);
    }
    MarkForWriteBack();
    return HResultFromResultCode(m_lastResult);
}

void CSettingsHelper::MarkForWriteBack()
{
    if (m_storeAccess) {
        // Written back together when the helper ends.
        SectionEntry& entry = m_sections[m_currentPath];
        entry.settings = m_current;
        entry.marked = true;
        entry.deleted = false;
        Store(kStoreOk);
        return;
    }
    const HRESULT code = m_manager->PutSettings(m_current.Get());
    if (QkFailed(code))
        QK_TRACE(L"cannot save %ls: 0x%08lX", m_currentPath.c_str(), static_cast<unsigned long>(code));
    Store(code);
}

void CSettingsHelper::WriteBack()
{
    std::vector<std::pair<std::wstring, SectionEntry*>> marked;
    for (auto& [path, entry] : m_sections)
        if (entry.marked)
            marked.emplace_back(path, &entry);
    if (marked.empty() || !m_manager) {
        m_sections.clear();
        return;
    }
    auto save = [](auto& target, const std::wstring& path, SectionEntry& entry) {
        HRESULT code = entry.deleted ? target.DeleteSettings(path.c_str()) : target.PutSettings(entry.settings.Get());
        if (QkFailed(code)) {
            QK_TRACE(L"cannot write back %ls: 0x%08lX", path.c_str(), static_cast<unsigned long>(code));
            FileError(path.c_str(), code);
        }
        return code;
    };
    if (marked.size() == 1) {
        Store(save(*m_manager.Get(), marked.front().first, *marked.front().second));
    } else if (!m_storeAccess) {
        QK_TRACE(L"no store interface: %zu sections not written", marked.size());
        Store(QK_E_NOTIMPL);
    } else {
        std::vector<std::wstring> paths;
        for (const auto& item : marked)
            paths.push_back(item.first);
        ComPtr<qkSettings::ISettingsBatch> batch;
        HRESULT code = m_storeAccess->CreateSettingsBatch(batch.GetAddressOf());
        if (QkFailed(code) || !batch) {
            QK_TRACE(L"no settings batch: 0x%08lX", static_cast<unsigned long>(code));
            FileError(L"batch", code, paths);
        } else {
            for (auto& [path, entry] : marked)
                save(*batch.Get(), path, *entry);
            code = batch->Commit();
            if (QkFailed(code)) {
                QK_TRACE(L"batch commit failed: 0x%08lX", static_cast<unsigned long>(code));
                FileError(L"commit", code, paths);
            }
        }
        Store(code);
    }
    m_sections.clear();
}

HRESULT CSettingsHelper::Close()
{
    m_current.Reset();
    m_currentPath.clear();
    if (!m_manager) {
        m_sections.clear();
        return Store(kStoreOk);
    }
    const HRESULT code = m_manager->Close();
    m_sections.clear();
    m_storeAccess.Reset();
    m_manager.Reset();
    return Store(code);
}

} // namespace Jux
