#include "settings/store/qkSettingsResult.h"

#include "common/base/qkTrace.h"

namespace qkSettings {

namespace {

template <typename From, typename To>
struct Row {
    From from;
    To to;
};

constexpr Row<DWORD, NtStatus> kWin32ToStatus[] = {
    {0, status::kSuccess},
    {ERROR_FILE_NOT_FOUND, status::kNameNotFound},
    {ERROR_PATH_NOT_FOUND, status::kPathNotFound},
    {ERROR_ACCESS_DENIED, status::kAccessDenied},
    {ERROR_INVALID_HANDLE, status::kInvalidHandle},
    {ERROR_OUTOFMEMORY, status::kNoMemory},
    {ERROR_SHARING_VIOLATION, status::kSharingViolation},
    {ERROR_HANDLE_EOF, status::kEndOfFile},
    {ERROR_INVALID_PARAMETER, status::kInvalidParameter},
    {ERROR_DISK_FULL, status::kDiskFull},
};

constexpr Row<NtStatus, DWORD> kStatusToResult[] = {
    {status::kSuccess, result::kOk},
    {status::kBufferOverflow, result::kBufferTooSmall},
    {status::kUnsuccessful, result::kFailure},
    {status::kNotImplemented, result::kNotImplemented},
    {status::kInvalidParameter, result::kInvalidArg},
    {status::kAccessDenied, result::kAccessDenied},
    {status::kBufferTooSmall, result::kBufferTooSmall},
    {status::kObjectTypeMismatch, result::kTypeMismatch},
    {status::kNameNotFound, result::kFileNotFound},
    {status::kNameCollision, result::kAlreadyExists},
    {status::kPathNotFound, result::kFileNotFound},
    {status::kPathSyntaxBad, result::kBadPath},
    {status::kSharingViolation, result::kSharingViolation},
    {status::kUnknownRevision, result::kUnknownRevision},
    {status::kDiskFull, result::kDiskFull},
    {status::kNoMemory, result::kOutOfMemory},
    {status::kFileCorrupt, result::kCorrupt},
    {status::kNotFound, result::kNotFound},
    {status::kDecryptionFailed, result::kCorrupt},
    {status::kNoInterface, result::kNoInterface},
    {status::kFileTooLarge, result::kTooLarge},
    {status::kTransactionFailure, result::kTransactionFailure},
};

constexpr Row<DWORD, DWORD> kWin32ToResult[] = {
    {0, result::kOk},
    {ERROR_INVALID_FUNCTION, result::kNotImplemented},
    {ERROR_FILE_NOT_FOUND, result::kFileNotFound},
    {ERROR_PATH_NOT_FOUND, result::kFileNotFound},
    {ERROR_ACCESS_DENIED, result::kAccessDenied},
    {ERROR_SHARING_VIOLATION, result::kSharingViolation},
    {ERROR_INVALID_PARAMETER, result::kInvalidArg},
    {ERROR_DISK_FULL, result::kDiskFull},
    {ERROR_ALREADY_EXISTS, result::kAlreadyExists},
    {632 /* ERROR_NOINTERFACE */, result::kNoInterface},
    {ERROR_NOT_FOUND, result::kNotFound},
    {ERROR_FILE_CORRUPT, result::kCorrupt},
    {ERROR_NO_SYSTEM_RESOURCES, result::kOutOfMemory},
};

template <typename From, typename To, size_t N>
bool Lookup(const Row<From, To> (&table)[N], From from, To& to)
{
    for (const auto& row : table) {
        if (row.from == from) {
            to = row.to;
            return true;
        }
    }
    return false;
}

} // namespace

NtStatus MapWin32ToStatus(DWORD error)
{
    NtStatus s;
    if (Lookup(kWin32ToStatus, error, s))
        return s;
    QK_TRACE(L"unlisted Win32 error %lu", error);
    return status::kUnsuccessful;
}

DWORD MapStatusToResult(NtStatus st)
{
    DWORD r;
    if (Lookup(kStatusToResult, st, r))
        return r;
    QK_TRACE(L"unlisted status 0x%08lX", static_cast<unsigned long>(st));
    return result::kFailure;
}

DWORD MapWin32ToResult(DWORD error)
{
    DWORD r;
    if (Lookup(kWin32ToResult, error, r))
        return r;
    QK_TRACE(L"unlisted Win32 error %lu", error);
    return result::kFailure;
}

NtStatus LastErrorStatus()
{
    return MapWin32ToStatus(::GetLastError());
}

} // namespace qkSettings
