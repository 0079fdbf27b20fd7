#include "statusprobe/SdkBinding.h"

#include "statusprobe/ComError.h"
#include "statusprobe/ProbeOutput.h"

#include <cwchar>
#include <memory>
#include <type_traits>

namespace {

constexpr wchar_t kSdkKey[] = L"SOFTWARE\\Vallor\\SecurityStatusSDK\\";
constexpr wchar_t kSdkPathValue[] = L"SDKPath64";
// A full path of at most 259 characters and its NUL.
constexpr DWORD kPathBufferBytes = 520;

struct KeyCloser {
    void operator()(HKEY key) const { ::RegCloseKey(key); }
};
using KeyOwner = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

} // namespace

SdkBinding::~SdkBinding()
{
    if (m_module != nullptr) {
        ::FreeLibrary(m_module);
    }
}

SdkBinding::Failure SdkBinding::Load()
{
    const Failure pathFailure = ReadDllPath();
    if (pathFailure != Failure::None) {
        return pathFailure;
    }
    m_module = ::LoadLibraryW(m_path.c_str());
    if (m_module == nullptr) {
        ProbePrint(L"Error: Unable to load SDK client dll\n");
        return Failure::LoadDll;
    }
    m_create = reinterpret_cast<SDKCreateObjectFn>(
        reinterpret_cast<void*>(::GetProcAddress(m_module, kSdkCreateObjectExport)));
    if (m_create == nullptr) {
        ProbePrint(L"Error: pfSDKCreateObject is NULL\n");
        return Failure::Export;
    }
    return Failure::None;
}

SdkBinding::Failure SdkBinding::ReadDllPath()
{
    // Read-only, in the program's own (64-bit) view.
    HKEY rawKey = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSdkKey, 0, KEY_READ, &rawKey) != ERROR_SUCCESS) {
        ProbePrint(L"Error: Unable to open SDK registry key\n");
        return Failure::RegistryKey;
    }
    KeyOwner key(rawKey);

    wchar_t buffer[kPathBufferBytes / sizeof(wchar_t)] = {};
    DWORD type = REG_NONE;
    DWORD size = kPathBufferBytes;
    const LSTATUS status =
        ::RegQueryValueExW(key.get(), kSdkPathValue, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    key.reset();
    // The data must be text that ends with its own NUL; a longer value does not fit the buffer.
    const bool isText = type == REG_SZ || type == REG_EXPAND_SZ;
    const DWORD chars = size / sizeof(wchar_t);
    if (status != ERROR_SUCCESS || !isText || size % sizeof(wchar_t) != 0 || chars == 0 || buffer[chars - 1] != L'\0') {
        ProbePrint(L"Error: Unable to retrieve SDK location from registry\n");
        return Failure::RegistryValue;
    }

    if (type == REG_SZ) {
        m_path = buffer;
        return Failure::None;
    }
    // REG_EXPAND_SZ: variables such as %ProgramFiles% are expanded before the path is loaded.
    const DWORD needed = ::ExpandEnvironmentStringsW(buffer, nullptr, 0);
    if (needed != 0) {
        std::wstring expanded(needed, L'\0');
        const DWORD written = ::ExpandEnvironmentStringsW(buffer, expanded.data(), needed);
        if (written != 0 && written <= needed) {
            expanded.resize(written - 1);
            m_path = std::move(expanded);
            return Failure::None;
        }
    }
    ProbePrint(L"Error: Unable to retrieve SDK location from registry\n");
    return Failure::RegistryValue;
}

Microsoft::WRL::ComPtr<ISecurityStatus> SdkBinding::CreateObject()
{
    Microsoft::WRL::ComPtr<ISecurityStatus> object;
    const HRESULT hr = m_create(IID_ISecurityStatus, reinterpret_cast<void**>(object.GetAddressOf()));
    if (FAILED(hr)) {
        ProbePrint(L"Failed to create object\n");
        throw ComError(hr);
    }
    if (object == nullptr) {
        // Success without an object cannot be driven.
        ProbePrint(L"Failed to create object\n");
        throw ComError(E_POINTER);
    }
    return object;
}

void SdkBinding::Unload()
{
    if (m_module == nullptr) {
        return;
    }
    ::FreeLibrary(m_module);
    m_module = nullptr;
    m_create = nullptr;
    if (::GetModuleHandleW(m_path.c_str()) == nullptr) {
        ProbePrint(L"GetModuleHandle returned NULL, SDK DLL unloaded successfully");
    }
}
