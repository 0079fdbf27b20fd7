// The data store's undo journal (see qkDataStore.h for the scheme).
//
// Journal layout (little-endian), rewritten from offset 0 by each change:
//   header  0 magic | 4 store signature | 8 u64 store length when the change began | 16 0 |
//           20 CRC of these 24 bytes with this field 0
//   pieces  back to back: 0 u64 offset in the store | 8 size | 12 CRC of the 16 bytes with this
//           field 0 and then of the old bytes | 16 the old bytes
#include "common/persist/qkDataStore.h"

#include <aclapi.h>
#include <objbase.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common/base/qkCrc32.h"
#include "common/base/qkTrace.h"
#include "common/system/qkHandle.h"
#include "common/system/qkResourceHolders.h"

namespace {

constexpr DWORD kJournalMagic = 0x4C4E524A; // "JRNL"

#pragma pack(push, 1)
struct JournalHeader {
    DWORD magic;
    DWORD storeSignature;
    ULONGLONG storeLength;
    DWORD zero;
    DWORD crc;
};
struct JournalPiece {
    ULONGLONG offset;
    DWORD size;
    DWORD crc;
};
#pragma pack(pop)
static_assert(sizeof(JournalHeader) == 24 && sizeof(JournalPiece) == 16);

DWORD PieceCrc(JournalPiece piece, const BYTE* bytes)
{
    piece.crc = 0;
    return ~qkLib::Crc32Update(qkLib::Crc32Update(0xFFFFFFFF, &piece, sizeof(piece)), bytes, piece.size);
}

DWORD HeaderCrc(const JournalHeader& header)
{
    return qkLib::HeaderCrc(&header, sizeof(header), offsetof(JournalHeader, crc));
}

// The whole of an open journal.
BOOL ReadJournal(qkFile& file, std::vector<BYTE>* journal, DWORD* error)
{
    ULONGLONG size = 0;
    if (!file.GetSize(&size)) {
        *error = file.GetLastError();
        return FALSE;
    }
    if (size > 0xFFFFFFFFull) {
        *error = ERROR_FILE_CORRUPT;
        return FALSE;
    }
    try {
        journal->resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return FALSE;
    }
    if (size && !file.ReadAt(0, 0, journal->data(), static_cast<DWORD>(size))) {
        *error = file.GetLastError();
        return FALSE;
    }
    return TRUE;
}

// Whether sid is this process's user or the owner its new files get: a journal of that owner is
// one that this process's kind of writer made (or could have made, holding the store open for
// writing as it does), even where it could not give the journal the store's owner.
bool IsOwnSid(PSID sid)
{
    HANDLE raw = nullptr;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &raw) &&
        !::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw))
        return false;
    qkHandle token(raw);
    for (const TOKEN_INFORMATION_CLASS part : {TokenUser, TokenOwner}) {
        DWORD size = 0;
        ::GetTokenInformation(token.Get(), part, nullptr, 0, &size);
        std::vector<BYTE> buffer;
        try {
            buffer.resize(size);
        } catch (const std::bad_alloc&) {
            return false;
        }
        if (!size || !::GetTokenInformation(token.Get(), part, buffer.data(), size, &size))
            continue;
        const PSID own = part == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                           : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
        if (own && ::EqualSid(own, sid))
            return true;
    }
    return false;
}

// Every byte of [from, to) lies in one of the pieces.
bool Covers(std::vector<std::pair<ULONGLONG, ULONGLONG>> spans, ULONGLONG from, ULONGLONG to)
{
    std::sort(spans.begin(), spans.end());
    for (const auto& [first, last] : spans) {
        if (first > from)
            break;
        if (last > from)
            from = last;
    }
    return from >= to;
}

} // namespace

DWORD qkDataStore::ReadSecurity(SecuredFile, HANDLE file, const wchar_t* path, SECURITY_INFORMATION parts, PSID* owner,
                                PACL* dacl, qkLocalPtr<void>& descriptor)
{
    DWORD status = ::GetSecurityInfo(file, SE_FILE_OBJECT, parts, owner, nullptr, dacl, nullptr, descriptor.Receive());
    if (status != ERROR_SUCCESS && path) // a handle opened without READ_CONTROL
        status = ::GetNamedSecurityInfoW(path, SE_FILE_OBJECT, parts, owner, nullptr, dacl, nullptr,
                                         descriptor.Receive());
    if (status == ERROR_SUCCESS && (parts & OWNER_SECURITY_INFORMATION) && !*owner)
        status = ERROR_INVALID_OWNER;
    return status;
}

DWORD qkDataStore::CreateJournalFile(qkFile& journal, const wchar_t* path, LPSECURITY_ATTRIBUTES security)
{
    if (journal.Open(path, GENERIC_READ | GENERIC_WRITE, 0, security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL))
        return ERROR_SUCCESS;
    return journal.GetLastError() ? journal.GetLastError() : ERROR_OPEN_FAILED;
}

BOOL qkDataStore::WriteJournalAt(ULONGLONG offset, const void* data, DWORD size)
{
    if (!m_journal.SeekFromBegin(static_cast<DWORD>(offset), static_cast<LONG>(offset >> 32)) ||
        !m_journal.Write(data, size)) {
        QK_TRACE(L"journal write at %llu failed: %lu", offset, m_journal.GetLastError());
        return Fail(m_journal.GetLastError() ? m_journal.GetLastError() : ERROR_WRITE_FAULT);
    }
    return TRUE;
}

BOOL qkDataStore::SetJournalLength(ULONGLONG size)
{
    if (!m_journal.SetLength(static_cast<DWORD>(size), static_cast<LONG>(size >> 32))) {
        QK_TRACE(L"journal not cut to %llu: %lu", size, m_journal.GetLastError());
        return Fail(m_journal.GetLastError() ? m_journal.GetLastError() : ERROR_WRITE_FAULT);
    }
    return TRUE;
}

BOOL qkDataStore::Write(ULONGLONG offset, const void* data, DWORD size)
{
    if (m_inChange && !SaveOldBytes(offset, offset + size))
        return FALSE;
    return WriteAt(offset, data, size);
}

BOOL qkDataStore::Truncate(ULONGLONG size)
{
    if (m_inChange) {
        ULONGLONG fileSize = 0;
        if (!GetFileSize(&fileSize) || (size < fileSize && !SaveOldBytes(size, fileSize)))
            return FALSE;
    }
    return SetFileLength(size);
}

BOOL qkDataStore::OpenJournal(const wchar_t* storePath, bool newStore)
{
    try {
        m_journalPath = storePath;
        m_journalPath += L".journal";
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    m_journalPending = false;
    m_inChange = false;
    m_journalEnd = 0;
    // A journal found here was left by an earlier writer (or planted by someone else): it is
    // undone only when it passes every check, and then replaced by one of this writer's own.
    if (!TakeOverJournal(storePath, newStore) || !CreateJournal(storePath)) {
        m_journalPath.clear();
        return FALSE;
    }
    return TRUE;
}

BOOL qkDataStore::TakeOverJournal(const wchar_t* storePath, bool newStore)
{
    qkFile found;
    // No sharing: a journal that another writer holds means that writer's change is in flight.
    if (!found.Open(m_journalPath.c_str(), GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL)) {
        const DWORD error = found.GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return TRUE;
        QK_TRACE(L"journal %s not opened: %lu", m_journalPath.c_str(), error);
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
            return Fail(error);
        // Something this writer may not read, or no file at all (a folder): nothing it could
        // check, so it is moved out of the way unread, lest it lock the store for good.
        return SetEntryAside() ? TRUE : Fail(error);
    }
    // Beside a file that is made anew the journal belongs to the store that was there.
    if (!newStore) {
        std::vector<BYTE> journal;
        std::vector<JournalUndo> undo;
        ULONGLONG storeLength = 0;
        bool hasChange = false;
        if (!LoadJournal(found, &journal, &storeLength, &undo, &hasChange))
            return FALSE;
        if (hasChange) {
            JournalVerdict verdict = JournalVerdict::SetAside;
            if (!CheckJournal(storePath, found, journal, storeLength, undo, &verdict))
                return FALSE;
            if (verdict == JournalVerdict::SetAside)
                return SetJournalAside(found);
            if (verdict == JournalVerdict::Apply) {
                QK_TRACE(L"undoing an unfinished change: %u pieces", static_cast<unsigned>(undo.size()));
                // The journal stays until the store holds the old bytes again: a failure keeps it.
                if (!ApplyUndo(journal, storeLength, undo))
                    return FALSE;
            }
        }
    }
    FILE_DISPOSITION_INFO dispose{TRUE};
    if (!::SetFileInformationByHandle(found.GetHandle(), FileDispositionInfo, &dispose, sizeof(dispose))) {
        const DWORD error = ::GetLastError();
        QK_TRACE(L"journal %s not deleted: %lu", m_journalPath.c_str(), error);
        return Fail(error);
    }
    return TRUE;
}

std::wstring qkDataStore::AsideName(int attempt) const
{
    // "<journal>.rejected", then names nobody can have made in advance.
    std::wstring name = m_journalPath + L".rejected";
    if (attempt > 0) {
        GUID unique{};
        wchar_t text[40] = {};
        if (SUCCEEDED(::CoCreateGuid(&unique)) && ::StringFromGUID2(unique, text, 40) > 0)
            name += std::wstring(L".") + text;
        else
            name += L"." + std::to_wstring(::GetCurrentProcessId()) + L"." + std::to_wstring(::GetTickCount64());
    }
    return name;
}

BOOL qkDataStore::SetJournalAside(qkFile& journal)
{
    // Kept under another name for whoever looks into it; never read again by the store. When the
    // usual name is taken by something that cannot be replaced (a folder), a fresh one is used.
    QK_TRACE(L"journal %s refused and set aside", m_journalPath.c_str());
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < kAsideAttempts; ++attempt) {
        std::vector<BYTE> buffer;
        try {
            const std::wstring aside = AsideName(attempt);
            buffer.resize(sizeof(FILE_RENAME_INFO) + aside.size() * sizeof(wchar_t));
            auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
            rename->ReplaceIfExists = attempt == 0;
            rename->RootDirectory = nullptr;
            rename->FileNameLength = static_cast<DWORD>(aside.size() * sizeof(wchar_t));
            std::memcpy(rename->FileName, aside.c_str(), rename->FileNameLength);
        } catch (const std::bad_alloc&) {
            return Fail(ERROR_NOT_ENOUGH_MEMORY);
        }
        if (::SetFileInformationByHandle(journal.GetHandle(), FileRenameInfo, buffer.data(),
                                         static_cast<DWORD>(buffer.size())))
            return TRUE;
        error = ::GetLastError();
        QK_TRACE(L"journal %s not set aside (attempt %d): %lu", m_journalPath.c_str(), attempt, error);
    }
    return Fail(error);
}

BOOL qkDataStore::SetEntryAside()
{
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < kAsideAttempts; ++attempt) {
        std::wstring aside;
        try {
            aside = AsideName(attempt);
        } catch (const std::bad_alloc&) {
            return Fail(ERROR_NOT_ENOUGH_MEMORY);
        }
        if (::MoveFileExW(m_journalPath.c_str(), aside.c_str(), attempt == 0 ? MOVEFILE_REPLACE_EXISTING : 0)) {
            QK_TRACE(L"entry %s set aside as %s", m_journalPath.c_str(), aside.c_str());
            return TRUE;
        }
        error = ::GetLastError();
        QK_TRACE(L"entry %s not set aside (attempt %d): %lu", m_journalPath.c_str(), attempt, error);
    }
    return Fail(error);
}

BOOL qkDataStore::CreateJournal(const wchar_t* storePath)
{
    // The journal holds bytes of the store: it gets the store's owner and access list (not the
    // folder's), so that nobody may read or change it who may not read or change the store.
    qkLocalPtr<void> storeSecurity;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    const DWORD status =
        ReadSecurity(SecuredFile::Store, m_file.GetHandle(), storePath, parts, &owner, &dacl, storeSecurity);
    if (status != ERROR_SUCCESS) {
        QK_TRACE(L"access list of %s not read: %lu", storePath, status);
        return Fail(status);
    }
    SECURITY_DESCRIPTOR descriptor{};
    if (!::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE) ||
        !::SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED) ||
        !::SetSecurityDescriptorOwner(&descriptor, owner, FALSE))
        return Fail(::GetLastError());
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
    // Made new by this writer only: a journal that appeared since it was taken over is not used.
    DWORD made = CreateJournalFile(m_journal, m_journalPath.c_str(), &attributes);
    if (made == ERROR_INVALID_OWNER) {
        // A writer that may not name the store's owner: the journal is its own, with the store's
        // access list; should a crash leave it behind, the next open by this kind of writer undoes it.
        QK_TRACE(L"journal %s made with this writer as its owner", m_journalPath.c_str());
        ::SetSecurityDescriptorOwner(&descriptor, nullptr, FALSE);
        made = CreateJournalFile(m_journal, m_journalPath.c_str(), &attributes);
    }
    if (made != ERROR_SUCCESS) {
        QK_TRACE(L"journal %s not made: %lu", m_journalPath.c_str(), made);
        return Fail(made == ERROR_FILE_EXISTS ? ERROR_SHARING_VIOLATION : made);
    }
    return TRUE;
}

void qkDataStore::CloseJournal()
{
    m_viewing = false;
    m_view.clear();
    m_viewUndo.clear();
    m_viewLength = 0;
    if (!m_journal.GetHandle() || m_journal.GetHandle() == INVALID_HANDLE_VALUE)
        return;
    m_journal.Handle().Close();
    if (!m_journalPending && !::DeleteFileW(m_journalPath.c_str()))
        QK_TRACE(L"journal %s not deleted: %lu", m_journalPath.c_str(), ::GetLastError());
    m_journalPath.clear();
    m_journalPending = false;
    m_inChange = false;
    m_journalEnd = 0;
}

BOOL qkDataStore::BeginChange()
{
    m_inChange = false;
    if (!m_journal.GetHandle() || m_journal.GetHandle() == INVALID_HANDLE_VALUE)
        return TRUE; // open read-only: no write will get through anyway
    if (m_journalPending) {
        if (!RollBack())
            return FALSE;
        RebuildIndex();
    }
    if (!GetFileSize(&m_changeLength))
        return FALSE;
    m_journalEnd = 0;
    m_inChange = true;
    return TRUE;
}

BOOL qkDataStore::EndChange(BOOL ok)
{
    if (ok)
        Flush();
    if (!m_inChange)
        return ok;
    m_inChange = false;
    if (m_journalEnd == 0)
        return ok; // the store was not written
    if (ok && SetJournalLength(0)) {
        m_journalEnd = 0;
        return TRUE;
    }
    const DWORD error = m_lastError;
    if (!RollBack())
        QK_TRACE(L"change not undone yet; the next change or open undoes it");
    m_lastError = error;
    return FALSE;
}

BOOL qkDataStore::SaveOldBytes(ULONGLONG offset, ULONGLONG end)
{
    // Bytes beyond the length the change began with are cut off by the undo: nothing to keep.
    ULONGLONG fileSize = 0;
    if (!GetFileSize(&fileSize))
        return FALSE;
    const ULONGLONG limit = fileSize < m_changeLength ? fileSize : m_changeLength;
    if (end > limit)
        end = limit;
    if (offset < end && end - offset > 0x7FFFFFFFull)
        return Fail(ERROR_NOT_ENOUGH_MEMORY); // one piece is kept in memory
    const DWORD size = offset < end ? static_cast<DWORD>(end - offset) : 0;
    if (m_journalEnd != 0 && size == 0)
        return TRUE;
    std::vector<BYTE> piece;
    try {
        piece.resize((m_journalEnd == 0 ? sizeof(JournalHeader) : 0) + (size ? sizeof(JournalPiece) + size : 0));
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    BYTE* at = piece.data();
    if (m_journalEnd == 0) {
        JournalHeader header{kJournalMagic, m_storeSignature, m_changeLength, 0, 0};
        header.crc = HeaderCrc(header);
        std::memcpy(at, &header, sizeof(header));
        at += sizeof(header);
    }
    if (size) {
        BYTE* bytes = at + sizeof(JournalPiece);
        if (!ReadAt(offset, bytes, size))
            return FALSE;
        JournalPiece head{offset, size, 0};
        head.crc = PieceCrc(head, bytes);
        std::memcpy(at, &head, sizeof(head));
    }
    if (!WriteJournalAt(m_journalEnd, piece.data(), static_cast<DWORD>(piece.size())))
        return FALSE;
    m_journalEnd += piece.size();
    if (m_flushWrites && !::FlushFileBuffers(m_journal.GetHandle()))
        QK_TRACE(L"FlushFileBuffers of the journal failed: %lu", ::GetLastError());
    return TRUE;
}

BOOL qkDataStore::LoadJournal(qkFile& file, std::vector<BYTE>* journal, ULONGLONG* storeLength,
                              std::vector<JournalUndo>* undo, bool* hasChange)
{
    DWORD error = 0;
    if (!ReadJournal(file, journal, &error))
        return Fail(error);
    try {
        *hasChange = ParseJournal(*journal, storeLength, undo);
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    return TRUE;
}

bool qkDataStore::ParseJournal(const std::vector<BYTE>& journal, ULONGLONG* storeLength,
                               std::vector<JournalUndo>* undo) const
{
    undo->clear();
    JournalHeader header{};
    if (journal.size() < sizeof(header))
        return false;
    std::memcpy(&header, journal.data(), sizeof(header));
    // A header written short means the store was not touched yet.
    if (header.magic != kJournalMagic || header.storeSignature != m_storeSignature || header.zero != 0 ||
        header.crc != HeaderCrc(header))
        return false;
    *storeLength = header.storeLength;
    // Pieces up to the first one that is incomplete or fails its CRC (written short: the store
    // write it guards never happened).
    size_t at = sizeof(header);
    while (journal.size() - at >= sizeof(JournalPiece)) {
        JournalPiece piece{};
        std::memcpy(&piece, journal.data() + at, sizeof(piece));
        const size_t bytes = at + sizeof(piece);
        if (journal.size() - bytes < piece.size || piece.crc != PieceCrc(piece, journal.data() + bytes))
            break;
        undo->push_back({piece.offset, bytes, piece.size});
        at = bytes + piece.size;
    }
    return true;
}

BOOL qkDataStore::CheckJournal(const wchar_t* storePath, qkFile& journal, const std::vector<BYTE>& bytes,
                               ULONGLONG storeLength, const std::vector<JournalUndo>& undo, JournalVerdict* verdict)
{
    *verdict = JournalVerdict::SetAside;
    const DWORD lastError = m_lastError;
    // 1. Made by the store's owner: whoever else could make a file in the folder did not.
    qkLocalPtr<void> storeSecurity, journalSecurity;
    PSID storeOwner = nullptr, journalOwner = nullptr;
    const DWORD storeRead = ReadSecurity(SecuredFile::Store, m_file.GetHandle(), storePath, OWNER_SECURITY_INFORMATION,
                                         &storeOwner, nullptr, storeSecurity);
    const DWORD journalRead = ReadSecurity(SecuredFile::Journal, journal.GetHandle(), nullptr,
                                           OWNER_SECURITY_INFORMATION, &journalOwner, nullptr, journalSecurity);
    if (storeRead != ERROR_SUCCESS || journalRead != ERROR_SUCCESS ||
        (!::EqualSid(storeOwner, journalOwner) && !IsOwnSid(journalOwner))) {
        QK_TRACE(L"journal refused: its owner is neither the store's nor this process's");
        return TRUE;
    }
    // 2. A change keeps only bytes the store had when it began.
    std::vector<std::pair<ULONGLONG, ULONGLONG>> spans;
    try {
        for (const JournalUndo& piece : undo) {
            if (piece.size == 0 || piece.offset > storeLength || piece.size > storeLength - piece.offset) {
                QK_TRACE(L"journal refused: a piece at %llu lies beyond %llu", piece.offset, storeLength);
                return TRUE;
            }
            spans.emplace_back(piece.offset, piece.offset + piece.size);
        }
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    ULONGLONG fileSize = 0;
    if (!GetFileSize(&fileSize))
        return FALSE;
    // 3. Bytes the change cut off were kept before they went: what the store lacks of its old
    // length is in the journal.
    if (storeLength > fileSize && !Covers(spans, fileSize, storeLength)) {
        QK_TRACE(L"journal refused: %llu bytes not kept for a length of %llu", storeLength - fileSize, storeLength);
        return TRUE;
    }
    // 4. A store that was closed cleanly has nothing to undo: the last change of its writer, the
    // close, rewrote only the store header, and a journal of just that is dropped.
    StoreHeader current{};
    if (ReadStoreHeader(&current) && current.recordedSize != 0) {
        m_lastError = lastError;
        const bool closing =
            undo.size() == 1 && undo[0].offset == 0 && undo[0].size == kStoreHeaderSize && storeLength == fileSize;
        if (closing)
            *verdict = JournalVerdict::Drop;
        else
            QK_TRACE(L"journal refused: the store was closed cleanly");
        return TRUE;
    }
    // 5. The store as the undo would leave it has an accepted store header and records that lie
    // back to back up to its old length.
    try {
        m_view = bytes;
        m_viewUndo = undo;
    } catch (const std::bad_alloc&) {
        m_view.clear();
        m_viewUndo.clear();
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    m_viewLength = storeLength;
    m_viewing = true;
    StoreHeader old{};
    bool whole = ReadStoreHeader(&old) != FALSE;
    if (whole) {
        m_userHeaderSize = old.userHeaderSize;
        ULONGLONG at = FirstRecordOffset();
        while (whole && at < storeLength) {
            RecordHeader record{};
            whole = ReadRecordHeader(at, &record) != FALSE;
            at += kRecordHeaderSize + record.allocated;
        }
        whole = whole && at == storeLength;
    }
    m_viewing = false;
    m_view.clear();
    m_viewUndo.clear();
    m_viewLength = 0;
    m_userHeaderSize = 0;
    IndexClear();
    m_lastRecord = 0;
    m_lastError = lastError;
    if (!whole) {
        QK_TRACE(L"journal refused: the store it would leave does not hold together");
        return TRUE;
    }
    *verdict = JournalVerdict::Apply;
    return TRUE;
}

BOOL qkDataStore::ApplyUndo(const std::vector<BYTE>& journal, ULONGLONG storeLength,
                            const std::vector<JournalUndo>& undo)
{
    for (auto it = undo.rbegin(); it != undo.rend(); ++it) {
        if (!WriteAt(it->offset, journal.data() + it->at, it->size))
            return FALSE;
    }
    ULONGLONG fileSize = 0;
    if (!GetFileSize(&fileSize) || (fileSize != storeLength && !SetFileLength(storeLength)))
        return FALSE;
    // The store must hold the old bytes before the journal that brings them back goes.
    if (!::FlushFileBuffers(m_file.GetHandle()))
        QK_TRACE(L"FlushFileBuffers failed: %lu", ::GetLastError());
    return TRUE;
}

// This writer's own journal: made by it and held without sharing since, so it is undone as it
// stands.
BOOL qkDataStore::RollBack()
{
    m_journalPending = true;
    std::vector<BYTE> journal;
    std::vector<JournalUndo> undo;
    ULONGLONG storeLength = 0;
    bool hasChange = false;
    if (!LoadJournal(m_journal, &journal, &storeLength, &undo, &hasChange))
        return FALSE;
    if (hasChange) {
        QK_TRACE(L"undoing an unfinished change: %u pieces", static_cast<unsigned>(undo.size()));
        if (!ApplyUndo(journal, storeLength, undo))
            return FALSE;
    }
    if (!SetJournalLength(0))
        return FALSE;
    m_journalPending = false;
    m_journalEnd = 0;
    return TRUE;
}

BOOL qkDataStore::OpenJournalView(const wchar_t* storePath)
{
    qkFile journal;
    std::vector<BYTE> bytes;
    std::vector<JournalUndo> undo;
    ULONGLONG storeLength = 0;
    try {
        const std::wstring path = std::wstring(storePath) + L".journal";
        // A writer holds its journal without sharing: its change is in flight, not crashed.
        if (!journal.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL))
            return TRUE;
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    bool hasChange = false;
    if (!LoadJournal(journal, &bytes, &storeLength, &undo, &hasChange))
        return FALSE;
    if (!hasChange)
        return TRUE;
    // The same checks as a writer's: a journal it would not undo is not read through either.
    JournalVerdict verdict = JournalVerdict::SetAside;
    if (!CheckJournal(storePath, journal, bytes, storeLength, undo, &verdict))
        return FALSE;
    if (verdict != JournalVerdict::Apply)
        return TRUE;
    QK_TRACE(L"read through an unfinished change of %u pieces", static_cast<unsigned>(undo.size()));
    m_view = std::move(bytes);
    m_viewUndo = std::move(undo);
    m_viewLength = storeLength;
    m_viewing = true;
    return TRUE;
}

BOOL qkDataStore::ReadThroughJournal(ULONGLONG offset, BYTE* buffer, DWORD size)
{
    if (offset > m_viewLength || size > m_viewLength - offset)
        return Fail(ERROR_HANDLE_EOF);
    // The file as it is (bytes it no longer has read as zeros), then the old bytes newest first,
    // as the undo would write them.
    ULONGLONG fileSize = 0;
    if (!m_file.GetSize(&fileSize))
        return FileError();
    const ULONGLONG present = fileSize > offset ? (fileSize - offset < size ? fileSize - offset : size) : 0;
    std::memset(buffer + present, 0, size - static_cast<size_t>(present));
    if (present && !m_file.ReadAt(static_cast<DWORD>(offset), static_cast<LONG>(offset >> 32), buffer,
                                  static_cast<DWORD>(present)))
        return FileError();
    for (auto it = m_viewUndo.rbegin(); it != m_viewUndo.rend(); ++it) {
        const ULONGLONG first = it->offset > offset ? it->offset : offset;
        const ULONGLONG pieceEnd = it->offset + it->size;
        const ULONGLONG last = pieceEnd < offset + size ? pieceEnd : offset + size;
        if (first < last)
            std::memcpy(buffer + (first - offset), m_view.data() + it->at + (first - it->offset),
                        static_cast<size_t>(last - first));
    }
    return TRUE;
}
