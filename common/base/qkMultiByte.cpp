#include "common/base/qkMultiByte.h"

#include "common/base/qkLastError.h"

namespace qkLib {

HRESULT MultiByteToWide(UINT codePage, std::string_view text, std::wstring& out)
{
    out.clear();
    if (text.empty())
        return S_OK;
    const int length = ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0)
        return LastErrorResult();
    out.assign(static_cast<size_t>(length), L'\0');
    if (::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), length) != length) {
        out.clear();
        return LastErrorResult();
    }
    return S_OK;
}

HRESULT WideToMultiByte(UINT codePage, std::wstring_view text, std::string& out)
{
    out.clear();
    if (text.empty())
        return S_OK;
    const int length = ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                             nullptr, nullptr);
    if (length <= 0)
        return LastErrorResult();
    out.assign(static_cast<size_t>(length), '\0');
    if (::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), length, nullptr,
                              nullptr) != length) {
        out.clear();
        return LastErrorResult();
    }
    return S_OK;
}

std::string ToUtf8(std::wstring_view text)
{
    std::string out;
    WideToMultiByte(CP_UTF8, text, out);
    return out;
}

std::wstring FromUtf8(std::string_view text)
{
    std::wstring out;
    MultiByteToWide(CP_UTF8, text, out);
    return out;
}

} // namespace qkLib
