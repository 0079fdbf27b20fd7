#include "common/system/qkNoFollow.h"

#include <winternl.h>

namespace qkNoFollow {

namespace {

constexpr ULONG kNonDirectoryFile = 0x00000040;     // FILE_NON_DIRECTORY_FILE
constexpr ULONG kSynchronousIo = 0x00000020;        // FILE_SYNCHRONOUS_IO_NONALERT
constexpr ULONG kOpenReparsePoint = 0x00200000;     // FILE_OPEN_REPARSE_POINT

using NtCreateFileFn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                        ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using StatusToErrorFn = ULONG(NTAPI*)(NTSTATUS);

// The system's own functions, bound once: ntdll is in every process.
struct Ntdll {
    NtCreateFileFn createFile = nullptr;
    StatusToErrorFn toError = nullptr;
    Ntdll()
    {
        if (HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll")) {
            createFile = reinterpret_cast<NtCreateFileFn>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtCreateFile")));
            toError = reinterpret_cast<StatusToErrorFn>(
                reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlNtStatusToDosError")));
        }
    }
};

const Ntdll& Functions()
{
    static const Ntdll functions;
    return functions;
}

} // namespace

DWORD OpenFolder(const std::wstring& path, bool create, DWORD access, qkHandle& folder)
{
    if (create && !::CreateDirectoryW(path.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
        return ::GetLastError();
    folder.Attach(::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder.IsValid())
        return ::GetLastError();
    FILE_ATTRIBUTE_TAG_INFO information{};
    if (!::GetFileInformationByHandleEx(folder.Get(), FileAttributeTagInfo, &information, sizeof(information)))
        return ::GetLastError();
    if ((information.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        folder.Close();
        return ERROR_DIRECTORY;
    }
    return ERROR_SUCCESS;
}

DWORD OpenIn(HANDLE folder, const std::wstring& name, DWORD access, DWORD share, ULONG disposition, qkHandle& file,
             ULONG options, PSECURITY_DESCRIPTOR security)
{
    const Ntdll& nt = Functions();
    if (nt.createFile == nullptr || nt.toError == nullptr)
        return ERROR_PROC_NOT_FOUND;
    if (name.empty() || name.size() > 0x7FFF || name.find_first_of(L"\\/") != std::wstring::npos)
        return ERROR_INVALID_NAME;
    UNICODE_STRING text{};
    text.Buffer = const_cast<PWSTR>(name.c_str());
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof(attributes);
    attributes.RootDirectory = folder;
    attributes.ObjectName = &text;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    attributes.SecurityDescriptor = security;
    IO_STATUS_BLOCK status{};
    HANDLE raw = nullptr;
    const NTSTATUS result =
        nt.createFile(&raw, access | SYNCHRONIZE, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                      disposition, options | kNonDirectoryFile | kSynchronousIo | kOpenReparsePoint, nullptr, 0);
    if (result < 0)
        return nt.toError(result);
    file.Attach(raw);
    return ERROR_SUCCESS;
}

bool SameEntry(HANDLE first, HANDLE second)
{
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    return ::GetFileInformationByHandle(first, &a) && ::GetFileInformationByHandle(second, &b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

bool HoldsEntryItself(HANDLE entry, const std::wstring& path)
{
    FILE_ATTRIBUTE_TAG_INFO information{};
    if (!::GetFileInformationByHandleEx(entry, FileAttributeTagInfo, &information, sizeof(information)))
        return false;
    if ((information.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return true;
    const DWORD byPath = ::GetFileAttributesW(path.c_str());
    return byPath == INVALID_FILE_ATTRIBUTES || (byPath & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool IsLink(HANDLE entry, const std::wstring& path)
{
    FILE_ATTRIBUTE_TAG_INFO information{};
    if (!::GetFileInformationByHandleEx(entry, FileAttributeTagInfo, &information, sizeof(information)))
        return true;
    const DWORD byPath = ::GetFileAttributesW(path.c_str());
    return (information.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
           (byPath != INVALID_FILE_ATTRIBUTES && (byPath & FILE_ATTRIBUTE_REPARSE_POINT) != 0);
}

bool DeleteOnClose(HANDLE entry)
{
    FILE_DISPOSITION_INFO disposition{TRUE};
    return ::SetFileInformationByHandle(entry, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

} // namespace qkNoFollow
