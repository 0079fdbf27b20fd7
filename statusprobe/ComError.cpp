#include "statusprobe/ComError.h"

#include "statusprobe/ProbeOutput.h"

#include <cwchar>
#include <memory>

namespace {

// Dispatch error codes: FACILITY_ITF codes from 0x200 on.
constexpr HRESULT kDispatchFirst = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x200);
constexpr HRESULT kDispatchLast = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF + 1, 0) - 1;

struct LocalFreeDeleter {
    void operator()(wchar_t* p) const { ::LocalFree(p); }
};

} // namespace

std::wstring ComError::ErrorMessage() const
{
    wchar_t* raw = nullptr;
    const DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, static_cast<DWORD>(m_hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                         reinterpret_cast<wchar_t*>(&raw), 0, nullptr);
    std::unique_ptr<wchar_t, LocalFreeDeleter> owner(raw);
    if (length != 0 && raw != nullptr) {
        std::wstring text(raw, length);
        if (text.size() > 1 && text.back() == L'\n') {
            text.pop_back();
            if (text.back() == L'\r') {
                text.pop_back();
            }
        }
        return text;
    }
    if (m_hr >= kDispatchFirst && m_hr <= kDispatchLast) {
        return ProbeFormat(L"IDispatch error #%d", static_cast<int>(m_hr - kDispatchFirst));
    }
    return ProbeFormat(L"Unknown error 0x%0lX", static_cast<unsigned long>(m_hr));
}
