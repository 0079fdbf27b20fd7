#include "settings/legacy/CLegacyDataStore.h"

#include <rpc.h>

#include <cstring>
#include <cwchar>
#include <new>
#include <string>

#include "common/base/qkTrace.h"
#include "common/system/qkAdministratorDACL.h"
#include "settings/store/qkSettingsResult.h"

namespace qkSettings {

namespace {

struct RecordHead {
    DWORD kind;
    DWORD dataLength;
    DWORD nameLength;
    DWORD padding;
};
static_assert(sizeof(RecordHead) == 16);

// The lengths of a record header add up to the record size, in 64-bit arithmetic.
bool Consistent(const RecordHead& h, DWORD size)
{
    ULONGLONG total = 16ull + h.nameLength + h.dataLength + h.padding;
    return h.kind == 1 && total == size && h.nameLength % 8 == 0 &&
           (h.dataLength + static_cast<ULONGLONG>(h.padding)) % 8 == 0;
}

} // namespace

CLegacyDataStore::CLegacyDataStore() : qkDataStore(kLegacyStoreSignature, 1, kLegacyRecordSignature, 1) {}

bool CLegacyDataStore::MakeCipher(const BYTE key[8])
{
    CLegacyBlowfishCipher* c = CLegacyBlowfishCipher::Create(key, 8);
    if (c == nullptr)
        return false;
    // Create's reference moves to the member (this toolchain's Attach would take another).
    m_cipher = c;
    c->Release();
    return true;
}

DWORD CLegacyDataStore::OpenStore(const wchar_t* path, bool create, bool adminSecurity, bool readOnly)
{
    qkAdministratorDACL dacl;
    LPSECURITY_ATTRIBUTES security = nullptr;
    if (adminSecurity && dacl.Build())
        security = dacl.GetSecurityAttributes();
    DWORD access = readOnly ? GENERIC_READ : (GENERIC_READ | GENERIC_WRITE);
    if (!Open(path, access, FILE_SHARE_READ, security, create ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0,
              kUserHeaderSize)) {
        DWORD error = GetLastError();
        QK_TRACE(L"could not open %s: %lu", path, error);
        return MapWin32ToResult(error);
    }
    if (!create)
        return result::kOk;
    UUID uuid;
    RPC_STATUS rpc = ::UuidCreate(&uuid);
    if (rpc != RPC_S_OK && rpc != RPC_S_UUID_LOCAL_ONLY)
        return result::kFailure;
    BYTE key[8];
    std::memcpy(key, &uuid, 8);
    if (!m_cipher && !MakeCipher(key))
        return result::kFailure;
    BYTE header[kUserHeaderSize];
    DWORD version = kVersion;
    std::memcpy(header, &version, 4);
    std::memcpy(header + 4, key, 8);
    if (!WriteUserHeader(0, header, kUserHeaderSize))
        return result::kFailure;
    return result::kOk;
}

bool CLegacyDataStore::Load()
{
    BYTE header[kUserHeaderSize];
    if (!ReadUserHeader(0, header, kUserHeaderSize))
        return false;
    DWORD version;
    std::memcpy(&version, header, 4);
    if (version != kVersion) {
        QK_TRACE(L"unknown version %lu", version);
        return false;
    }
    if (!m_cipher && !MakeCipher(header + 4))
        return false;
    return Verify() != FALSE;
}

BOOL CLegacyDataStore::OnVerifyRecord(const RecordHeader& header, const void* data, DWORD size)
{
    // The store's own open checks the records before the key is known; Load checks them again.
    if (size == 0 || data == nullptr || !m_cipher)
        return TRUE;
    if (size < kRecordHeader)
        return FALSE;
    RecordHead h;
    std::memcpy(&h, data, sizeof(h));
    if (!Consistent(h, size)) {
        QK_TRACE(L"refused record at %llu", header.id);
        return FALSE;
    }
    std::vector<BYTE> name;
    try {
        name.assign(static_cast<const BYTE*>(data) + 16, static_cast<const BYTE*>(data) + 16 + h.nameLength);
    } catch (const std::bad_alloc&) {
        return FALSE;
    }
    DWORD n = h.nameLength;
    if (n > 0 && !m_cipher->Decrypt(name.data(), h.nameLength, name.data(), &n))
        return FALSE;
    // Even, at least two characters, terminated within the field. An empty name is the root's.
    if (h.nameLength < 4 || h.nameLength % 2 != 0)
        return FALSE;
    const wchar_t* text = reinterpret_cast<const wchar_t*>(name.data());
    size_t units = h.nameLength / 2;
    if (::wcsnlen(text, units) == units)
        return FALSE;
    if (!m_handler)
        return TRUE;
    LegacyTreeNode* node = m_handler(text, header.id, h.dataLength);
    if (node == nullptr) {
        QK_TRACE(L"no node for record at %llu", header.id);
        return FALSE;
    }
    node->SetOwner(this);
    return TRUE;
}

bool CLegacyDataStore::BuildRecord(const wchar_t* name, const BYTE* data, DWORD size, std::vector<BYTE>& record)
{
    if (name == nullptr || !m_cipher || (data == nullptr && size != 0))
        return false;
    size_t units = std::wcslen(name);
    if (units > 0x1FFFFFFF || size > 0x7FFFFFFF)
        return false;
    DWORD nameField = static_cast<DWORD>(((units + 1) * 2 + 7) / 8 * 8);
    DWORD padding = (8 - size % 8) % 8;
    try {
        record.assign(16ull + nameField + size + padding, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    std::memcpy(record.data() + 16, name, (units + 1) * 2);
    DWORD n = nameField;
    if (!m_cipher->Encrypt(record.data() + 16, nameField, record.data() + 16, &n) || n != nameField)
        return false;
    if (size > 0)
        std::memcpy(record.data() + 16 + nameField, data, size);
    DWORD d = size + padding;
    if (d > 0 && (!m_cipher->Encrypt(record.data() + 16 + nameField, d, record.data() + 16 + nameField, &d) ||
                  d != size + padding))
        return false;
    RecordHead h{1, size, nameField, padding};
    std::memcpy(record.data(), &h, sizeof(h));
    return true;
}

bool CLegacyDataStore::AddValue(const wchar_t* name, const BYTE* data, DWORD size, ULONGLONG* recordId)
{
    if (!IsOpen())
        return false;
    std::vector<BYTE> record;
    if (!BuildRecord(name, data, size, record))
        return false;
    return AddRecord(record.data(), static_cast<DWORD>(record.size()), recordId) != FALSE;
}

bool CLegacyDataStore::UpdateValue(ULONGLONG* recordId, const wchar_t* name, const BYTE* data, DWORD size)
{
    if (!IsOpen() || recordId == nullptr)
        return false;
    std::vector<BYTE> record;
    if (!BuildRecord(name, data, size, record))
        return false;
    return UpdateRecord(recordId, record.data(), static_cast<DWORD>(record.size())) != FALSE;
}

bool CLegacyDataStore::ReadValue(ULONGLONG recordId, BYTE* buffer, DWORD* size)
{
    if (recordId == 0 || size == nullptr || !m_cipher)
        return false;
    DWORD recordSize = 0;
    if (!GetRecordSize(recordId, &recordSize) || recordSize < 16)
        return false;
    RecordHead h;
    if (!ReadRecord(recordId, &h, sizeof(h)) || !Consistent(h, recordSize))
        return false;
    if (*size < h.dataLength) {
        *size = h.dataLength;
        return true;
    }
    if (buffer == nullptr)
        return false;
    std::vector<BYTE> record;
    try {
        record.resize(recordSize);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!ReadRecord(recordId, record.data(), recordSize))
        return false;
    DWORD d = h.dataLength + h.padding;
    BYTE* at = record.data() + 16 + h.nameLength;
    if (d > 0 && !m_cipher->Decrypt(at, d, at, &d))
        return false;
    if (h.dataLength > 0)
        std::memcpy(buffer, at, h.dataLength);
    *size = h.dataLength;
    return true;
}

} // namespace qkSettings
