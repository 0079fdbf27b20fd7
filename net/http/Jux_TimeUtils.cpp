#include "net/http/Jux_TimeUtils.h"

#include "common/base/qkTrace.h"
#include "common/base/qkWideFormat.h"

#include <cwchar>
#include <new>
#include <stdexcept>

namespace Jux {

HRESULT FormatIso8601Time(const SYSTEMTIME& time, std::wstring& out)
{
    try {
        wchar_t text[64];
        int n = qkLib::FormatWide(text, 64, L"%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", time.wYear, time.wMonth, time.wDay,
                                  time.wHour, time.wMinute, time.wSecond, time.wMilliseconds);
        if (n < 0)
            return E_OUTOFMEMORY;
        out.assign(text, static_cast<size_t>(n));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

std::tm* GetLocalTm(__time64_t time, std::tm* out)
{
    if (!out)
        throw std::invalid_argument("GetLocalTm: null out record");
    std::tm fields{};
    if (_localtime64_s(&fields, &time) != 0) {
        QK_TRACE(L"time value %lld cannot be converted", static_cast<long long>(time));
        return nullptr;
    }
    *out = fields;
    return out;
}

} // namespace Jux
