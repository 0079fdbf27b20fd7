#include "net/trustdll/LoadVerifyTrustDll.h"

#include <new>
#include <vector>

#include "common/base/qkTrace.h"
#include "common/objects/qkTalDllLoader.h"
#include "common/objects/qkTalResult.h"
#if __has_include("common/system/qkPathExpansion.h")
#include "common/system/qkPathExpansion.h"
#define QK_HAVE_ROOT_PATH 1
#endif

namespace Jux {

namespace {

constexpr wchar_t kTrustDllName[] = L"qkVrTrst.dll";
constexpr DWORD kFirstChars = 271;     // the first buffer, in characters
constexpr DWORD kFirstBytes = 522;     // the size given with it, in bytes
constexpr DWORD kExtraChars = 10;      // room for the backslash and the DLL name's overflow

#ifdef QK_HAVE_ROOT_PATH
BOOL ReadRootPath(wchar_t* buffer, DWORD* bytes) { return qkLib::GetRootPath(buffer, bytes); }
#else
// Without the path expansion there is no library root folder to read.
BOOL ReadRootPath(wchar_t*, DWORD*)
{
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
}
#endif

} // namespace

HRESULT LoadVerifyTrustDll(qkTalDllLoader* loader)
{
    if (!loader)
        return QK_E_INVALIDARG;
    try {
        std::vector<wchar_t> path(kFirstChars, L'\0');
        DWORD bytes = kFirstBytes;
        if (!ReadRootPath(path.data(), &bytes)) {
            if (bytes < kFirstBytes + 1) {
                QK_TRACE(L"library root folder not readable");
                return QK_E_LOADFAILED;
            }
            // The root is longer than the first buffer: read again into one of the needed size.
            const DWORD chars = (bytes + 1) / 2 + kExtraChars;
            path.assign(chars + sizeof(kTrustDllName) / sizeof(wchar_t), L'\0');
            bytes = chars * sizeof(wchar_t);
            if (!ReadRootPath(path.data(), &bytes)) {
                QK_TRACE(L"library root folder not readable on the second read");
                return QK_E_FAIL;
            }
        }
        std::wstring file(path.data());
        if (file.empty() || file.back() != L'\\')
            file += L'\\';
        file += kTrustDllName;
        return loader->Load(file.c_str());
    } catch (const std::bad_alloc&) {
        return QK_E_OUTOFMEMORY;
    }
}

} // namespace Jux
