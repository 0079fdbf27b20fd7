#include "net/http/Jux_ProxySettings.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkTrace.h"
#include "common/objects/IModuleLifetimeMgr.h"
#include "common/objects/ReadLibraryRoot.h"
#include "common/objects/qkTalModuleLifetimeMgrImpl.h"
#include "common/objects/qkTalResult.h"
#include "common/persist/IStringObject.h"
#include "net/http/Jux_ResultCodes.h"

#include <wrl/client.h>

#include <atomic>
#include <mutex>

namespace Jux {
namespace {

using Microsoft::WRL::ComPtr;


std::atomic<ProxyStoreOpener> g_opener{nullptr};

// The text of a string value through its string object; false when the copy fails.
bool CopyStringObject(IUnknown* object, std::wstring& out)
{
    ComPtr<IStringObject> text;
    if (!object || FAILED(object->QueryInterface(CLSID_qkTalString, reinterpret_cast<void**>(text.GetAddressOf()))))
        return false;
    return qkLib::GetStringObjectText(text.Get(), out) != FALSE;
}

// Reads a string value: S_OK with text, kResultNotFound when absent, another failure as the code.
HRESULT ReadText(qkSettings::ISettings* reader, const wchar_t* name, std::wstring& out, bool& copied)
{
    ComPtr<IUnknown> object;
    const HRESULT code = reader->GetStringObject(name, object.GetAddressOf());
    copied = false;
    if (QkFailed(code))
        return code;
    copied = object && CopyStringObject(object.Get(), out);
    return S_OK;
}

} // namespace

IModuleLifetimeMgr* GetClientModuleLifetimeManager()
{
    static std::mutex lock;
    static IModuleLifetimeMgr* manager = nullptr;
    std::lock_guard<std::mutex> guard(lock);
    if (!manager)
        manager = qkTalModuleLifetimeMgrImpl::Create();
    return manager;
}

HRESULT CreateObjectFromModule(const wchar_t* path, REFGUID classId, REFIID iid, IModuleLifetimeMgr* owner,
                               void** object)
{
    if (!object || !path)
        return QK_E_INVALIDARG;
    if (*object) {
        static_cast<IUnknown*>(*object)->Release();
        *object = nullptr;
    }
    if (!owner)
        return QK_E_INVALIDARG;
    return owner->CreateInstanceFromPath(path, classId, iid, 3, object);
}

HRESULT OpenProxySettingsStore(IModuleLifetimeMgr* owner, qkSettings::ISettingsMgr** manager)
{
    std::wstring root;
    if (QkFailed(qkLib::ReadLibraryRoot(root)))
        return QK_E_LOADFAILED;
    if (!root.empty() && root.back() != L'\\')
        root += L'\\';
    if (root.size() + wcslen(kSettingsDllName) >= MAX_PATH)
        return QK_E_UNTRUSTED;
    return CreateObjectFromModule((root + kSettingsDllName).c_str(), CLSID_ProxySettingsMgr, IID_ProxySettingsMgr,
                                  owner, reinterpret_cast<void**>(manager));
}

void SetProxyStoreOpener(ProxyStoreOpener opener)
{
    g_opener.store(opener);
}

HRESULT ReadProxySettings(ProxyFields& fields)
{
    ProxyStoreOpener opener = g_opener.load();
    if (!opener)
        opener = &OpenProxySettingsStore;
    ComPtr<qkSettings::ISettingsMgr> manager;
    const HRESULT opened = opener(GetClientModuleLifetimeManager(), manager.GetAddressOf());
    if (QkFailed(opened) || !manager) {
        QK_TRACE(L"no proxy settings store: 0x%08lX", static_cast<unsigned long>(opened));
        return S_OK;
    }
    ComPtr<qkSettings::ISettings> section;
    const HRESULT code = manager->OpenSettings(kProxySection, section.GetAddressOf());
    if (QkFailed(code) || !section) {
        QK_TRACE(L"no section %ls: 0x%08lX", kProxySection, static_cast<unsigned long>(code));
        return E_FAIL;
    }
    return ReadProxySection(section.Get(), fields);
}

HRESULT ReadProxySection(IUnknown* section, ProxyFields& fields)
{
    fields.useProxy = fields.autoDetect = fields.autoConfig = fields.manual = false;
    fields.autoConfigUrl.clear();
    fields.server.clear();
    fields.user.clear();
    fields.password.clear();
    fields.port = 80;

    ComPtr<qkSettings::ISettings> reader;
    if (!section ||
        FAILED(section->QueryInterface(IID_ProxySectionReader, reinterpret_cast<void**>(reader.GetAddressOf()))) ||
        !reader) {
        QK_TRACE(L"section has no reader");
        return E_INVALIDARG;
    }
    qkExceptionInfo info;
    try {
        DWORD flag = 0;
        if (QkSucceeded(reader->GetDword(L"Auto_Config_Enabled", &flag)) && flag != 0) {
            std::wstring url;
            bool copied = false;
            if (SUCCEEDED(ReadText(reader.Get(), L"Auto_Config_URL", url, copied)) && copied) {
                fields.autoConfigUrl = url;
                fields.useProxy = fields.autoConfig = true;
            }
        }
        flag = 0;
        if (QkSucceeded(reader->GetDword(L"Auto_Detect_DHCP_Enabled", &flag)) && flag != 0)
            fields.useProxy = fields.autoDetect = true;
        flag = 0;
        if (QkFailed(reader->GetDword(L"Manual_Proxy_Enabled", &flag)) || flag == 0)
            return S_OK;

        std::wstring server, user, password;
        bool copied = false;
        HRESULT code = ReadText(reader.Get(), L"Manual_Proxy_Server", server, copied);
        if (code == static_cast<HRESULT>(kResultNotFound)) {
            QK_TRACE(L"manual proxy without server");
            return S_OK;
        }
        if (FAILED(code) || !copied || server.empty()) {
            QK_TRACE(L"manual proxy server unreadable: 0x%08lX", static_cast<unsigned long>(code));
            return E_FAIL;
        }
        DWORD port = 80;
        code = reader->GetDword(L"Manual_Proxy_Port", &port);
        if (code == static_cast<HRESULT>(kResultNotFound)) {
            port = 80;
        } else if (QkFailed(code)) {
            QK_TRACE(L"proxy port unreadable: 0x%08lX", static_cast<unsigned long>(code));
            return E_FAIL;
        }
        DWORD authentication = 0;
        code = reader->GetDword(L"Proxy_Authentication_Type", &authentication);
        if (code == static_cast<HRESULT>(kResultNotFound)) {
            authentication = 0;
        } else if (QkFailed(code)) {
            QK_TRACE(L"authentication type unreadable: 0x%08lX", static_cast<unsigned long>(code));
            return HResultFromResultCode(static_cast<std::uint32_t>(code));
        }
        fields.authenticationType = authentication;
        for (auto [name, target] : {std::pair{L"Username", &user}, std::pair{L"Password", &password}}) {
            code = ReadText(reader.Get(), name, *target, copied);
            if (code == static_cast<HRESULT>(kResultNotFound)) {
                target->clear();
            } else if (FAILED(code)) {
                QK_TRACE(L"%ls unreadable: 0x%08lX", name, static_cast<unsigned long>(code));
                return E_FAIL;
            } else if (!copied) {
                return E_OUTOFMEMORY;
            }
        }
        fields.port = port;
        fields.server = server;
        fields.user = user;
        fields.password = password;
        fields.useProxy = fields.manual = true;
        QK_TRACE(L"manual proxy %ls:%lu user '%ls'", server.c_str(), port, user.c_str());
        return S_OK;
    }
    QK_CATCH(info)
    QK_TRACE(L"%ls", info.GetFullText());
    return E_OUTOFMEMORY;
}

} // namespace Jux
