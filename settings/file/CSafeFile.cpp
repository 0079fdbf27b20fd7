#include "settings/file/CSafeFile.h"

#include <mutex>
#include <new>

#include "common/base/qkScopedLock.h"
#include "common/base/qkTrace.h"

namespace qkSettings {

namespace {

using NtSetInformationFileFn = LONG(NTAPI*)(HANDLE, PVOID /*IO_STATUS_BLOCK*/, PVOID, ULONG, ULONG);
NtSetInformationFileFn g_ntSetInformationFile = nullptr;

std::mutex g_faultsLock;
std::shared_ptr<IFileWriteFaults> g_faults;

std::shared_ptr<IFileWriteFaults> CurrentFaults()
{
    std::lock_guard<std::mutex> guard(g_faultsLock);
    return g_faults;
}

constexpr DWORD kCopyChunk = 0x2000;
constexpr ULONG kFileDispositionInformation = 13;

NtStatus Traced(NtStatus st, const char* what)
{
    QK_TRACE(L"%S failed: 0x%08lX", what, static_cast<unsigned long>(st));
    return st;
}

// name + suffix into buffer.
NtStatus Suffixed(const CountedString& name, const wchar_t* suffix, CStringBuffer& out)
{
    NtStatus st = out.Assign(name);
    if (NtSuccess(st))
        st = out.Append(suffix);
    return st;
}

} // namespace

NtStatus CSafeFile::InitializeModule()
{
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll");
    if (ntdll == nullptr)
        return status::kNotSupported;
    auto fn = reinterpret_cast<NtSetInformationFileFn>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtSetInformationFile")));
    if (fn == nullptr)
        return status::kNotSupported;
    g_ntSetInformationFile = fn;
    return status::kSuccess;
}

void CSafeFile::SetWriteFaults(std::shared_ptr<IFileWriteFaults> faults)
{
    std::lock_guard<std::mutex> guard(g_faultsLock);
    g_faults = std::move(faults);
}

NtStatus CSafeFile::Open(const FileOpenParams& params)
{
    if (params.name == nullptr || params.name->length == 0 || params.name->text == nullptr)
        return status::kInvalidParameter;
    NtStatus st = m_name.Assign(*params.name);
    if (!NtSuccess(st))
        return st == status::kBufferOverflow ? status::kInvalidParameter : st;
    SECURITY_ATTRIBUTES sa{sizeof(sa), params.securityDescriptor, FALSE};
    HANDLE h =
        ::CreateFileW(m_name.Text(), params.desiredAccess, params.shareMode, params.securityDescriptor ? &sa : nullptr,
                      params.creationDisposition, params.flagsAndAttributes | params.extraFlags, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        st = LastErrorStatus();
        QK_TRACE(L"CreateFileW failed on %s: 0x%08lX", m_name.Text(), static_cast<unsigned long>(st));
        return st;
    }
    m_handle.Attach(h);
    if (params.creationDisposition == CREATE_ALWAYS || params.creationDisposition == TRUNCATE_EXISTING)
        if (auto faults = CurrentFaults())
            faults->AfterSetSize(m_name.Text(), 0);
    m_forWriting = (params.desiredAccess & (GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    m_strict = params.strict;
    m_extraFlags = params.extraFlags;
    return status::kSuccess;
}

void CSafeFile::Close()
{
    m_handle.Reset(INVALID_HANDLE_VALUE);
}

NtStatus CSafeFile::Read(void* buffer, DWORD length, DWORD* count)
{
    if (buffer == nullptr && length != 0)
        return status::kInvalidParameter;
    DWORD got = 0;
    if (!::ReadFile(m_handle.Get(), buffer, length, &got, nullptr))
        return Traced(LastErrorStatus(), "ReadFile");
    if (count != nullptr)
        *count = got;
    return status::kSuccess;
}

NtStatus CSafeFile::ReadAt(ULONGLONG offset, void* buffer, DWORD length, DWORD* count)
{
    if (buffer == nullptr && length != 0)
        return status::kInvalidParameter;
    if (auto faults = CurrentFaults()) {
        NtStatus st = faults->BeforeRead(m_name.Text(), offset);
        if (!NtSuccess(st))
            return st;
    }
    // A seek and a plain read: under Wine a read with an OVERLAPPED offset on a synchronous
    // handle costs about ten times as much. The pair runs under the file's lock.
    qkScopedLock guard(m_position);
    NtStatus st = Seek(offset);
    if (!NtSuccess(st))
        return st;
    DWORD got = 0;
    if (!::ReadFile(m_handle.Get(), buffer, length, &got, nullptr)) {
        DWORD err = ::GetLastError();
        if (err != ERROR_HANDLE_EOF)
            return Traced(MapWin32ToStatus(err), "ReadFile");
        got = 0;
    }
    if (count != nullptr)
        *count = got;
    return status::kSuccess;
}

NtStatus CSafeFile::CheckWritable() const
{
    if (m_strict && !m_forWriting)
        return status::kUnsuccessful;
    return status::kSuccess;
}

NtStatus CSafeFile::DoWrite(const ULONGLONG* offset, const void* buffer, DWORD length, DWORD* count)
{
    NtStatus st = CheckWritable();
    if (!NtSuccess(st))
        return st;
    if (buffer == nullptr && length != 0)
        return status::kInvalidParameter;
    auto faults = CurrentFaults();
    ULONGLONG where = 0;
    if (faults) {
        if (offset != nullptr)
            where = *offset;
        else
            Tell(&where);
        st = faults->BeforeWrite(m_name.Text(), where, &length);
        if (!NtSuccess(st))
            return st;
    }
    // A seek and a plain write, as in ReadAt.
    qkScopedLock guard(m_position);
    if (offset != nullptr) {
        st = Seek(*offset);
        if (!NtSuccess(st))
            return st;
    }
    DWORD written = 0;
    if (!::WriteFile(m_handle.Get(), buffer, length, &written, nullptr))
        return Traced(LastErrorStatus(), "WriteFile");
    if (faults)
        faults->AfterWrite(m_name.Text(), where, buffer, written);
    if (count != nullptr)
        *count = written;
    return status::kSuccess;
}

NtStatus CSafeFile::Write(const void* buffer, DWORD length, DWORD* count)
{
    return DoWrite(nullptr, buffer, length, count);
}

NtStatus CSafeFile::WriteAt(ULONGLONG offset, const void* buffer, DWORD length, DWORD* count)
{
    return DoWrite(&offset, buffer, length, count);
}

NtStatus CSafeFile::ReadExactAt(ULONGLONG offset, void* buffer, DWORD length, NtStatus shortStatus)
{
    DWORD got = 0;
    NtStatus st = ReadAt(offset, buffer, length, &got);
    if (!NtSuccess(st))
        return st;
    return got == length ? status::kSuccess : shortStatus;
}

NtStatus CSafeFile::WriteExactAt(ULONGLONG offset, const void* buffer, DWORD length)
{
    DWORD put = 0;
    NtStatus st = WriteAt(offset, buffer, length, &put);
    if (!NtSuccess(st))
        return st;
    return put == length ? status::kSuccess : status::kUnsuccessful;
}

NtStatus CSafeFile::Tell(ULONGLONG* position)
{
    LARGE_INTEGER zero{}, pos{};
    if (!::SetFilePointerEx(m_handle.Get(), zero, &pos, FILE_CURRENT))
        return Traced(LastErrorStatus(), "SetFilePointerEx");
    if (position != nullptr)
        *position = static_cast<ULONGLONG>(pos.QuadPart);
    return status::kSuccess;
}

NtStatus CSafeFile::Seek(ULONGLONG position)
{
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(position);
    if (!::SetFilePointerEx(m_handle.Get(), to, nullptr, FILE_BEGIN))
        return Traced(LastErrorStatus(), "SetFilePointerEx");
    return status::kSuccess;
}

NtStatus CSafeFile::GetSize(ULONGLONG* size)
{
    LARGE_INTEGER s{};
    if (!::GetFileSizeEx(m_handle.Get(), &s))
        return Traced(LastErrorStatus(), "GetFileSizeEx");
    *size = static_cast<ULONGLONG>(s.QuadPart);
    return status::kSuccess;
}

NtStatus CSafeFile::SetSize(ULONGLONG size)
{
    if (auto faults = CurrentFaults()) {
        NtStatus st = faults->BeforeChange(m_name.Text());
        if (!NtSuccess(st))
            return st;
    }
    NtStatus st = Seek(size);
    if (!NtSuccess(st))
        return st;
    if (!::SetEndOfFile(m_handle.Get()))
        return Traced(LastErrorStatus(), "SetEndOfFile");
    if (auto faults = CurrentFaults())
        faults->AfterSetSize(m_name.Text(), size);
    return status::kSuccess;
}

NtStatus CSafeFile::Flush()
{
    if (auto faults = CurrentFaults()) {
        NtStatus st = faults->BeforeFlush(m_name.Text());
        if (!NtSuccess(st))
            return st;
    }
    if (!::FlushFileBuffers(m_handle.Get()))
        return Traced(LastErrorStatus(), "FlushFileBuffers");
    if (auto faults = CurrentFaults())
        faults->AfterFlush(m_name.Text());
    return status::kSuccess;
}

NtStatus CSafeFile::MarkForDeletion()
{
    if (g_ntSetInformationFile == nullptr) {
        NtStatus st = InitializeModule();
        if (!NtSuccess(st))
            return st;
    }
    if (auto faults = CurrentFaults()) {
        NtStatus st = faults->BeforeChange(m_name.Text());
        if (!NtSuccess(st))
            return st;
    }
    BYTE deleteFile = TRUE;
    // IO_STATUS_BLOCK: a status/pointer and an information word.
    ULONG_PTR iosb[2] = {};
    LONG st =
        g_ntSetInformationFile(m_handle.Get(), iosb, &deleteFile, sizeof(deleteFile), kFileDispositionInformation);
    if (st < 0)
        return Traced(st, "NtSetInformationFile");
    if (auto faults = CurrentFaults())
        faults->AfterDelete(m_name.Text());
    return status::kSuccess;
}

NtStatus CSafeFile::CopyTo(const CountedString& destination)
{
    ULONGLONG size = 0;
    NtStatus st = GetSize(&size);
    if (!NtSuccess(st))
        return st;
    ULONGLONG position = 0;
    st = Tell(&position);
    if (!NtSuccess(st))
        return st;
    st = Seek(0);
    if (!NtSuccess(st))
        return st;

    CSafeFile target;
    FileOpenParams params;
    params.name = &destination;
    params.desiredAccess = GENERIC_WRITE;
    params.creationDisposition = CREATE_NEW;
    st = target.Open(params);
    if (!NtSuccess(st)) {
        Seek(position);
        return st;
    }
    std::unique_ptr<BYTE[]> chunk(new (std::nothrow) BYTE[kCopyChunk]);
    if (!chunk) {
        st = status::kNoMemory;
    } else {
        for (;;) {
            DWORD got = 0;
            st = Read(chunk.get(), kCopyChunk, &got);
            if (st == status::kEndOfFile) {
                st = status::kSuccess;
                break;
            }
            if (!NtSuccess(st) || got == 0)
                break;
            DWORD put = 0;
            st = target.Write(chunk.get(), got, &put);
            if (!NtSuccess(st))
                break;
            if (put < got) {
                // A short write means the disk is full: the copy is incomplete.
                st = status::kDiskFull;
                break;
            }
        }
    }
    chunk.reset();
    // The copy is on disk before anyone renames it into place.
    if (NtSuccess(st))
        st = target.Flush();
    target.Close();
    NtStatus back = Seek(position);
    if (!NtSuccess(back))
        QK_TRACE(L"could not seek back to %llu", position);
    if (!NtSuccess(st)) {
        NtStatus del = DeleteFile(destination);
        if (!NtSuccess(del))
            QK_TRACE(L"could not delete the partial copy: 0x%08lX", static_cast<unsigned long>(del));
    }
    return st;
}

NtStatus CSafeFile::DeleteFile(const CountedString& name)
{
    if (name.length == 0 || name.text == nullptr)
        return status::kInvalidParameter;
    if (auto faults = CurrentFaults()) {
        CStringBuffer text;
        NtStatus st = text.Assign(name);
        if (NtSuccess(st))
            st = faults->BeforeChange(text.Text());
        if (!NtSuccess(st))
            return st;
    }
    CSafeFile file;
    FileOpenParams params;
    params.name = &name;
    params.desiredAccess = GENERIC_WRITE | DELETE;
    params.creationDisposition = OPEN_EXISTING;
    params.flagsAndAttributes = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE;
    NtStatus st = file.Open(params);
    if (st == status::kNameNotFound)
        return status::kSuccess;
    if (!NtSuccess(st))
        return st;
    st = file.SetSize(0);
    file.Close();
    return st;
}

NtStatus CSafeFile::Rename(const CountedString& source, const CountedString& destination)
{
    if (source.length == 0 || destination.length == 0)
        return status::kInvalidParameter;
    CStringBuffer from, to;
    NtStatus st = from.Assign(source);
    if (NtSuccess(st))
        st = to.Assign(destination);
    if (!NtSuccess(st))
        return st;
    if (auto faults = CurrentFaults()) {
        st = faults->BeforeChange(to.Text());
        if (!NtSuccess(st))
            return st;
    }
    if (!::MoveFileExW(from.Text(), to.Text(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return Traced(LastErrorStatus(), "MoveFileExW");
    return status::kSuccess;
}

NtStatus CSafeFile::MakeBackup()
{
    CStringBuffer temp, backup;
    NtStatus st = Suffixed(m_name.Get(), L"._bak", temp);
    if (!NtSuccess(st))
        return st;
    // A "._bak" left by an interrupted save would make every later copy fail (CREATE_NEW);
    // it is never a complete backup, so it goes first.
    NtStatus stale = DeleteFile(temp.Get());
    if (!NtSuccess(stale))
        QK_TRACE(L"could not remove a stale temporary backup: 0x%08lX", static_cast<unsigned long>(stale));
    st = CopyTo(temp.Get());
    if (!NtSuccess(st))
        return Traced(st, "backup copy");
    st = Suffixed(m_name.Get(), L".bak", backup);
    if (!NtSuccess(st)) {
        DeleteFile(temp.Get());
        return st;
    }
    st = Rename(temp.Get(), backup.Get());
    if (!NtSuccess(st))
        DeleteFile(temp.Get());
    return st;
}

NtStatus CSafeFile::RestoreBackup(const CountedString& storePath)
{
    CStringBuffer backup;
    NtStatus st = Suffixed(storePath, L".bak", backup);
    if (!NtSuccess(st))
        return st;
    // An empty copy (one that never reached the disk) would replace the store with nothing.
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!::GetFileAttributesExW(backup.Text(), GetFileExInfoStandard, &info))
        return Traced(LastErrorStatus(), "backup attributes");
    if (info.nFileSizeHigh == 0 && info.nFileSizeLow == 0)
        return Traced(status::kFileCorrupt, "empty backup");
    st = Rename(backup.Get(), storePath);
    if (!NtSuccess(st))
        return Traced(st, "restore of the backup");
    return status::kSuccess;
}

} // namespace qkSettings
