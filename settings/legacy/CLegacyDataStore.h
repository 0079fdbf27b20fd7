#pragma once
// The older settings file: a record store of the common library whose records each hold one
// named value, enciphered with Blowfish under a key made for that file.
//
// User header (12 bytes): u32 version 1, then the 8-byte key (the first 8 bytes of a UUID made
// with the file). Value record: u32 kind 1, u32 data length D, u32 name field length N (the
// UTF-16 name and its terminator, zero-padded to whole 8-byte blocks), u32 data padding P, the
// name field enciphered, then the data and its padding enciphered; 16 + N + D + P is the record
// size.
#include <windows.h>

#include <functional>
#include <vector>

#include <wrl/client.h>

#include "common/persist/qkDataStore.h"
#include "settings/legacy/CLegacyBlowfishCipher.h"
#include "settings/legacy/LegacyTreeNode.h"
#include "settings/store/qkSettingsSignatures.h"

namespace qkSettings {

class CLegacyDataStore : public qkDataStore {
public:
    static constexpr DWORD kUserHeaderSize = 12;
    static constexpr DWORD kVersion = 1;
    static constexpr DWORD kRecordHeader = 16;

    // Called for each value record while loading: the name, the record id and the data length;
    // returns the node that holds it (null refuses the record).
    using RecordHandler = std::function<LegacyTreeNode*(const wchar_t* name, ULONGLONG id, DWORD dataLength)>;

    CLegacyDataStore();

    // Result codes: 0x10000, 0x8001FFFF when the key or the user header cannot be made, else
    // the mapped file error.
    DWORD OpenStore(const wchar_t* path, bool create, bool adminSecurity, bool readOnly);
    // Reads the user header, sets up the cipher and checks every record through the handler.
    bool Load();
    void SetRecordHandler(RecordHandler handler) { m_handler = std::move(handler); }
    // A caller's cipher replaces the file's own key.
    void SetCipher(ISettingsCipher* cipher) { m_cipher = cipher; }

    bool AddValue(const wchar_t* name, const BYTE* data, DWORD size, ULONGLONG* recordId);
    bool UpdateValue(ULONGLONG* recordId, const wchar_t* name, const BYTE* data, DWORD size);
    // A size below the data length gets the length and true without copying.
    bool ReadValue(ULONGLONG recordId, BYTE* buffer, DWORD* size);

    // Builds a value record (public for tests of the format).
    bool BuildRecord(const wchar_t* name, const BYTE* data, DWORD size, std::vector<BYTE>& record);

protected:
    BOOL OnVerifyRecord(const RecordHeader& header, const void* data, DWORD size) override;

private:
    bool MakeCipher(const BYTE key[8]);

    Microsoft::WRL::ComPtr<ISettingsCipher> m_cipher;
    RecordHandler m_handler;
};

} // namespace qkSettings
