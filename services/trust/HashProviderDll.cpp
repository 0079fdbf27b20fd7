#include "services/trust/HashProviderDll.h"

#include <wrl/client.h>

#include <string>

#include "common/objects/qkTalDllLoader.h"
#include "common/objects/qkTalResult.h"
#include "common/system/qkPathExpansion.h"
#include "services/trust/IHashProvider.h"
#include "services/trust/TrustTrace.h"

namespace qkVerifyTrust {

namespace {

using Microsoft::WRL::ComPtr;

constexpr const wchar_t* kRecord = L"qkHashProvider";
constexpr const wchar_t* kResult = L"vtresult";

// The DLL holder of the common library, whose check before loading is the caller's.
class CheckedDllLoader : public qkTalDllLoader {
public:
    explicit CheckedDllLoader(HashProvider::DllCheck check) : m_check(std::move(check)) {}
    HRESULT VerifyModule(LPCWSTR path) override
    {
        if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES)
            return QK_E_LOADFAILED;
        return m_check && m_check(path) ? QK_S_OK : QK_E_UNTRUSTED;
    }

private:
    HashProvider::DllCheck m_check;
};

// The loaded DLL and its provider object; the object goes before the DLL that holds its code.
struct LoadedProvider {
    CheckedDllLoader dll;
    ComPtr<IHashProvider> object;

    explicit LoadedProvider(HashProvider::DllCheck check) : dll(std::move(check)) {}
    ~LoadedProvider()
    {
        object.Reset();
        dll.Unload();
    }
};

// The "vtresult" number of the record about the file (null: about the provider itself).
std::optional<DWORD> ResultBits(IHashProvider* provider, HANDLE file)
{
    ComPtr<IHashProvider> record;
    HRESULT hr = provider->GetProperty(kRecord, file, record.GetAddressOf());
    if (FAILED(hr) || !record)
        return std::nullopt;
    DWORD type = 0;
    DWORD value = 0;
    hr = record->GetValue(kResult, &type, &value);
    if (FAILED(hr) || type != kHashProviderNumber)
        return std::nullopt;
    return value;
}

std::wstring ProviderPath()
{
    std::wstring folder;
    if (!qkPathExpansion::ExpandPath(HashProviderDll::kFolderToken, folder) || folder.empty())
        return std::wstring();
    if (folder.back() != L'\\')
        folder.push_back(L'\\');
    return folder + HashProviderDll::kFileName;
}

} // namespace

std::shared_ptr<HashProvider> HashProviderDll::Load(const HashProvider::DllCheck& checkDll)
{
    const std::wstring path = ProviderPath();
    if (path.empty()) {
        TRUST_TRACE(L"No hash provider folder: %ls cannot be expanded", kFolderToken);
        return nullptr;
    }
    auto loaded = std::make_shared<LoadedProvider>(checkDll);
    HRESULT hr = loaded->dll.Load(path.c_str());
    if (FAILED(hr)) {
        TRUST_TRACE(L"Hash provider %ls not loaded, 0x%08lX", path.c_str(), static_cast<unsigned long>(hr));
        return nullptr;
    }
    hr = loaded->dll.CreateObject(CLSID_HashProvider, IID_IHashProvider,
                                  reinterpret_cast<void**>(loaded->object.GetAddressOf()));
    if (FAILED(hr) || !loaded->object) {
        TRUST_TRACE(L"Hash provider object of %ls not created, 0x%08lX", path.c_str(), static_cast<unsigned long>(hr));
        return nullptr;
    }
    const std::optional<DWORD> own = ResultBits(loaded->object.Get(), nullptr);
    if (!own || (*own & 3) != 3) {
        TRUST_TRACE(L"Hash provider %ls refused: its own result is %ls0x%08lX", path.c_str(), own ? L"" : L"missing, ",
                    static_cast<unsigned long>(own.value_or(0)));
        return nullptr;
    }
    auto provider = std::make_shared<HashProvider>();
    // The query keeps the DLL and its object alive for as long as the provider is held.
    provider->query = [loaded](HANDLE file) { return ResultBits(loaded->object.Get(), file); };
    return provider;
}

} // namespace qkVerifyTrust
