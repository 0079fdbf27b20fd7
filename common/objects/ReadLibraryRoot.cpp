#include "common/objects/ReadLibraryRoot.h"

#include <new>
#include <vector>

#include "common/base/qkTrace.h"
#include "common/objects/qkTalResult.h"
#include "common/system/qkPathExpansion.h"

namespace qkLib {

namespace {
constexpr DWORD kFirstChars = 271; // the first buffer, in characters
constexpr DWORD kFirstBytes = 522; // the size offered with it, in bytes
constexpr DWORD kExtraChars = 10;  // room for the backslash and a file name's overflow
} // namespace

HRESULT ReadLibraryRoot(std::wstring& root)
{
    try {
        std::vector<wchar_t> buffer(kFirstChars, L'\0');
        DWORD bytes = kFirstBytes;
        if (!GetRootPath(buffer.data(), &bytes)) {
            // A size no larger than the one offered means the root itself could not be read.
            if (bytes < kFirstBytes + 1) {
                QK_TRACE(L"library root folder not readable");
                return QK_E_LOADFAILED;
            }
            const DWORD chars = (bytes + 1) / 2 + kExtraChars;
            buffer.assign(chars, L'\0');
            bytes = chars * sizeof(wchar_t);
            if (!GetRootPath(buffer.data(), &bytes)) {
                QK_TRACE(L"library root folder not readable on the second read");
                return QK_E_FAIL;
            }
        }
        root.assign(buffer.data());
        if (root.empty() || root.back() != L'\\')
            root += L'\\';
        return QK_S_OK;
    } catch (const std::bad_alloc&) {
        QK_TRACE(L"out of memory");
        return QK_E_OUTOFMEMORY;
    }
}

} // namespace qkLib
