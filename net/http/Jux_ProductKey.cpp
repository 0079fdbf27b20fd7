#include "net/http/Jux_ProductKey.h"

#include "net/http/Jux_Trace.h"

#include <mutex>
#include <vector>

namespace Jux {
namespace {

std::mutex g_keyLock;
std::wstring g_keyPath;
REGSAM g_viewFlags = 0;

struct KeyOwner {
    HKEY key = nullptr;
    ~KeyOwner() { if (key) RegCloseKey(key); }
};

} // namespace

void SetProductRegistryKey(const std::wstring& path, REGSAM viewFlags)
{
    std::lock_guard<std::mutex> lock(g_keyLock);
    g_keyPath = path;
    g_viewFlags = viewFlags;
}

std::wstring GetProductRegistryKey()
{
    std::lock_guard<std::mutex> lock(g_keyLock);
    return g_keyPath;
}

REGSAM GetProductRegistryViewFlags()
{
    std::lock_guard<std::mutex> lock(g_keyLock);
    return g_viewFlags;
}

bool ReadProductString(const wchar_t* subkey, const wchar_t* name, std::wstring& value)
{
    std::wstring path = GetProductRegistryKey();
    if (path.empty()) return false;
    if (subkey) path += std::wstring(L"\\") + subkey;
    KeyOwner key;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0,
                                   KEY_READ | GetProductRegistryViewFlags(), &key.key);
    if (status != ERROR_SUCCESS) {
        JUX_TRACE(L"cannot open HKLM\\%ls: %ld", path.c_str(), static_cast<long>(status));
        return false;
    }
    DWORD type = 0, size = 0;
    status = RegQueryValueExW(key.key, name, nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
        JUX_TRACE(L"no string value %ls under HKLM\\%ls", name, path.c_str());
        return false;
    }
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    status = RegQueryValueExW(key.key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size);
    if (status != ERROR_SUCCESS) return false;
    value.assign(buffer.data());  // stops at the first terminator whether or not one was stored
    return true;
}

} // namespace Jux
