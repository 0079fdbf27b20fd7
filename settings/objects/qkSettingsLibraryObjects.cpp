#include "settings/objects/qkSettingsLibraryObjects.h"

#include <new>

#include "common/persist/IStringObject.h"
#include "common/persist/qkTalMemoryImpl.h"
#include "common/persist/qkTalStringImpl.h"
#include "common/objects/qkComAdopt.h"
#include "settings/store/qkSettingsResult.h"

namespace qkSettings {

DWORD MakeStringObject(const std::wstring& text, IUnknown** out)
{
    *out = nullptr;
    IStringObject* object = nullptr;
    try {
        object = qkTalStringImpl::CreateWithText(text.c_str());
    } catch (const std::bad_alloc&) {
        object = nullptr;
    }
    if (object == nullptr)
        return result::kOutOfMemory;
    *out = object;
    return result::kOk;
}

DWORD MakeMemoryObject(const void* data, DWORD size, IUnknown** out)
{
    *out = nullptr;
    Microsoft::WRL::ComPtr<IMemoryObject> object;
    qkLib::Adopt(object, qkTalMemoryImpl::Create());
    if (!object)
        return result::kOutOfMemory;
    if (size != 0 && object->SetData(data, size) == nullptr)
        return result::kOutOfMemory;
    *out = object.Detach();
    return result::kOk;
}

DWORD ReadStringObject(IUnknown* object, std::wstring& text)
{
    Microsoft::WRL::ComPtr<IStringObject> string;
    if (object == nullptr ||
        FAILED(object->QueryInterface(CLSID_qkTalString, reinterpret_cast<void**>(string.GetAddressOf()))) || !string)
        return result::kInvalidArg;
    return qkLib::GetStringObjectText(string.Get(), text) ? result::kOk : result::kOutOfMemory;
}

DWORD QueryMemoryObject(IUnknown* object, Microsoft::WRL::ComPtr<IMemoryObject>& memory)
{
    memory.Reset();
    if (object == nullptr ||
        FAILED(object->QueryInterface(CLSID_qkTalMemory, reinterpret_cast<void**>(memory.GetAddressOf()))) || !memory)
        return result::kInvalidArg;
    return result::kOk;
}

} // namespace qkSettings
