#pragma once
// Result codes of the settings store and the tables that map to them. The lower layers (blob,
// file, database, journal) speak NTSTATUS; whatever leaves a manager or settings object is a
// settings result code.
#include <windows.h>

namespace qkSettings {

using NtStatus = LONG;

// NTSTATUS values used by the store's lower layers.
namespace status {
constexpr NtStatus kSuccess = 0;
constexpr NtStatus kRestored = 0x4000000A; // success: the store was replaced by its backup copy
constexpr NtStatus kBufferOverflow = static_cast<NtStatus>(0x80000005);
constexpr NtStatus kNoMoreEntries = static_cast<NtStatus>(0x8000001A);
constexpr NtStatus kUnsuccessful = static_cast<NtStatus>(0xC0000001);
constexpr NtStatus kNotImplemented = static_cast<NtStatus>(0xC0000002);
constexpr NtStatus kInvalidHandle = static_cast<NtStatus>(0xC0000008);
constexpr NtStatus kInvalidParameter = static_cast<NtStatus>(0xC000000D);
constexpr NtStatus kEndOfFile = static_cast<NtStatus>(0xC0000011);
constexpr NtStatus kAccessDenied = static_cast<NtStatus>(0xC0000022);
constexpr NtStatus kBufferTooSmall = static_cast<NtStatus>(0xC0000023);
constexpr NtStatus kObjectTypeMismatch = static_cast<NtStatus>(0xC0000024);
constexpr NtStatus kNameNotFound = static_cast<NtStatus>(0xC0000034);
constexpr NtStatus kNameCollision = static_cast<NtStatus>(0xC0000035);
constexpr NtStatus kPathNotFound = static_cast<NtStatus>(0xC000003A);
constexpr NtStatus kPathSyntaxBad = static_cast<NtStatus>(0xC000003B);
constexpr NtStatus kSharingViolation = static_cast<NtStatus>(0xC0000043);
constexpr NtStatus kUnknownRevision = static_cast<NtStatus>(0xC0000058);
constexpr NtStatus kDiskFull = static_cast<NtStatus>(0xC000007F);
constexpr NtStatus kIntegerOverflow = static_cast<NtStatus>(0xC0000095);
constexpr NtStatus kNoMemory = static_cast<NtStatus>(0xC000009A);
constexpr NtStatus kNotSupported = static_cast<NtStatus>(0xC00000BB);
constexpr NtStatus kInternalError = static_cast<NtStatus>(0xC00000E5);
constexpr NtStatus kFileCorrupt = static_cast<NtStatus>(0xC0000102);
constexpr NtStatus kNotFound = static_cast<NtStatus>(0xC0000225);
constexpr NtStatus kEncryptionFailed = static_cast<NtStatus>(0xC000028A);
constexpr NtStatus kDecryptionFailed = static_cast<NtStatus>(0xC000028B);
constexpr NtStatus kNoInterface = static_cast<NtStatus>(0xC00002B9);
constexpr NtStatus kFileTooLarge = static_cast<NtStatus>(0xC0000904);
constexpr NtStatus kTransactionalConflict = static_cast<NtStatus>(0xC0190001); // a batch names one record twice
constexpr NtStatus kTransactionFailure = static_cast<NtStatus>(0xC0190058);
} // namespace status

inline bool NtSuccess(NtStatus s)
{
    return s >= 0;
}

// Settings result codes, what the store's callers see.
namespace result {
constexpr DWORD kOk = 0x10000;
constexpr DWORD kOkOther = 0x10001;
constexpr DWORD kNotFound = 0x80000100;
constexpr DWORD kBufferTooSmall = 0x80000200;
constexpr DWORD kSerializationFailed = 0x80000202;  // a key's values of the older format damaged
constexpr DWORD kUnknownFormatVersion = 0x80000204; // a key's values of the older format, another version
constexpr DWORD kTypeMismatch = 0x80000208;
constexpr DWORD kNotOpen = 0x8000020A;
constexpr DWORD kExpansionFailed = 0x8000020B;
constexpr DWORD kDiskFull = 0x8000020C;
constexpr DWORD kSharingViolation = 0x8000020D;
constexpr DWORD kNotInitialized = 0x8000020E;
constexpr DWORD kCorrupt = 0x8000020F;
constexpr DWORD kTooLarge = 0x80000210;
constexpr DWORD kUnknownRevision = 0x80000211;
constexpr DWORD kBadPath = 0x80000212;
constexpr DWORD kAlreadyExists = 0x80000213;
constexpr DWORD kTransactionFailure = 0x80000214;
constexpr DWORD kBatchClosed = 0x80000215;
constexpr DWORD kNoInterface = 0x80010200;
constexpr DWORD kOutOfMemory = 0x80010201;
constexpr DWORD kNotImplemented = 0x80010202;
constexpr DWORD kInvalidArg = 0x80010203;
constexpr DWORD kAccessDenied = 0x80010204;
constexpr DWORD kFileNotFound = 0x80010300;
constexpr DWORD kFailure = 0x8001FFFF;
} // namespace result

inline bool Succeeded(DWORD r)
{
    return (r & 0x80000000u) == 0;
}

// A settings result as the HRESULT that the settings interfaces return: the same 32 bits.
constexpr HRESULT ResultHr(DWORD r)
{
    return static_cast<HRESULT>(r);
}

// Win32 error to NTSTATUS (after every failed file call).
NtStatus MapWin32ToStatus(DWORD error);
// NTSTATUS to settings result (managers and settings objects).
DWORD MapStatusToResult(NtStatus status);
// NTSTATUS of a lower layer as the HRESULT a caller of the settings interfaces sees.
inline HRESULT StatusHr(NtStatus status)
{
    return ResultHr(MapStatusToResult(status));
}
// Win32 error to settings result (string conversions).
DWORD MapWin32ToResult(DWORD error);
// GetLastError through MapWin32ToStatus.
NtStatus LastErrorStatus();

} // namespace qkSettings
