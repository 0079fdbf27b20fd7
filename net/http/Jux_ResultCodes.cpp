#include "net/http/Jux_ResultCodes.h"

#include "common/base/qkTrace.h"

#include <iterator>

namespace Jux {
namespace {

struct ResultCodeRow {
    HRESULT hr;
    std::uint32_t code;
};

// Searched from the first row in both directions: the first match wins, so 0x80010203 maps to
// E_INVALIDARG (not E_POINTER) and 0x80028CA0 to 0x80000208 (not 0x80000201).
constexpr ResultCodeRow kResultCodeTable[] = {
    {S_OK, 0x00010000},
    {E_FAIL, 0x8001FFFF},
    {E_INVALIDARG, 0x80010203},
    {E_NOINTERFACE, 0x80010200},
    {E_OUTOFMEMORY, 0x80010201},
    {E_NOTIMPL, 0x80010202},
    {E_ACCESSDENIED, 0x80010204},
    {static_cast<HRESULT>(0x80070003), 0x80010300}, // ERROR_PATH_NOT_FOUND
    {static_cast<HRESULT>(0x8007007F), 0x80010302}, // ERROR_PROC_NOT_FOUND
    {static_cast<HRESULT>(0x8007000B), 0x80010303}, // ERROR_BAD_FORMAT
    {S_FALSE, 0x00010001},
    {static_cast<HRESULT>(0x80070490), kResultNotFound}, // ERROR_NOT_FOUND: value not found
    {static_cast<HRESULT>(0x8007007A), 0x80000200}, // ERROR_INSUFFICIENT_BUFFER
    {static_cast<HRESULT>(0x8007054F), 0x80000202}, // ERROR_INTERNAL_ERROR
    {static_cast<HRESULT>(0x800401F0), 0x80000203}, // CO_E_NOTINITIALIZED
    {static_cast<HRESULT>(0x80010110), 0x80000204},
    {static_cast<HRESULT>(0x800706F8), 0x80000206}, // ERROR_INVALID_USER_BUFFER
    {static_cast<HRESULT>(0x80004011), 0x80000207},
    {static_cast<HRESULT>(0x80028CA0), 0x80000208}, // TYPE_E_TYPEMISMATCH
    {static_cast<HRESULT>(0x80070020), 0x8000020D}, // ERROR_SHARING_VIOLATION
    {static_cast<HRESULT>(0x80070070), 0x8000020C}, // ERROR_DISK_FULL
    {static_cast<HRESULT>(0x80070570), 0x8000020F}, // ERROR_FILE_CORRUPT
    {static_cast<HRESULT>(0x80071A90), 0x80000213}, // ERROR_TRANSACTIONAL_CONFLICT
    {E_POINTER, 0x80010203},
    {E_UNEXPECTED, 0x80000205},
    {static_cast<HRESULT>(0x80028CA0), 0x80000201},
};

} // namespace

HRESULT HResultFromResultCode(std::uint32_t code)
{
    const bool failure = static_cast<std::int32_t>(code) < 0;
    if (failure)
        QK_TRACE(L"result code 0x%08X", code);
    for (const auto& row : kResultCodeTable) {
        if (row.code == code)
            return row.hr;
    }
    return failure ? E_FAIL : S_OK;
}

std::uint32_t ResultCodeFromHResult(HRESULT hr)
{
    if (FAILED(hr))
        QK_TRACE(L"HRESULT 0x%08lX", static_cast<unsigned long>(hr));
    for (const auto& row : kResultCodeTable) {
        if (row.hr == hr)
            return row.code;
    }
    return FAILED(hr) ? kResultGeneralFailure : kResultSuccess;
}

} // namespace Jux
