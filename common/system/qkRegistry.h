#pragma once
// Owner of one open registry key. Remembers the registry view (64- or 32-bit) the key was
// opened in and deletes in the same view; can create a key volatile even when a non-volatile
// key of that name exists; checks the type and shape of the values it reads. Every operation
// keeps the Win32 result of its last registry call (GetLastError) and answers TRUE or FALSE.
#include <windows.h>
#include <string>

class qkMemory;

class qkRegistry {
public:
    qkRegistry() = default;
    // Wraps an open key with the access mask it was opened with (the object owns it).
    qkRegistry(HKEY key, REGSAM access);
    virtual ~qkRegistry();
    qkRegistry(const qkRegistry&) = delete;
    qkRegistry& operator=(const qkRegistry&) = delete;

    // Opens the subkey; with createIfMissing a failed open (whatever the error) creates it.
    BOOL Open(HKEY parent, const wchar_t* subkey, REGSAM access, BOOL createIfMissing = FALSE, DWORD options = 0);
    BOOL OpenKey(HKEY parent, const wchar_t* subkey, REGSAM access, BOOL createIfMissing = FALSE);
    // Creates or opens the subkey. A volatile request turns an existing non-volatile key of
    // that name into a new, empty, volatile one.
    BOOL Create(HKEY parent, const wchar_t* subkey, REGSAM access, DWORD options = 0);
    BOOL CreateKey(HKEY parent, const wchar_t* subkey, REGSAM access, DWORD options = 0);
    BOOL Close();
    BOOL IsOpen() const { return m_key != nullptr; }
    HKEY GetKey() const { return m_key; }
    // Hands the key over without closing it.
    HKEY Detach()
    {
        HKEY key = m_key;
        m_key = nullptr;
        m_viewFlags = 0;
        return key;
    }
    DWORD GetLastError() const { return m_lastError; }
    REGSAM GetKeyViewFlags() const { return m_viewFlags; }
    // The view bits (KEY_WOW64_64KEY, KEY_WOW64_32KEY) of an access mask.
    static REGSAM GetViewFlags(REGSAM access);

    // Raw read without a type check.
    BOOL QueryValue(const wchar_t* name, void* data, DWORD* sizeBytes);
    // REG_DWORD only; on a type mismatch the bytes may already be in the variable.
    BOOL QueryDWORDValue(const wchar_t* name, DWORD& value);
    // As QueryDWORDValue, but the variable is written only on success.
    BOOL GetDWORDValue(const wchar_t* name, DWORD& value);
    // REG_SZ or REG_EXPAND_SZ (unexpanded), terminated even when stored without a NUL.
    BOOL QueryStringValue(const wchar_t* name, std::wstring& value);
    // REG_SZ, REG_EXPAND_SZ or REG_MULTI_SZ into the caller's buffer (null asks for the size).
    BOOL QueryStringBuffer(const wchar_t* name, wchar_t* buffer, DWORD* sizeBytes);
    // REG_BINARY into a block of exactly the value's size.
    BOOL QueryBinaryValue(const wchar_t* name, qkMemory& memory);
    BOOL SetStringValue(const wchar_t* name, const wchar_t* text);
    BOOL SetStringValue(const wchar_t* name, const std::wstring& text);
    BOOL SetDWORDValue(const wchar_t* name, DWORD value);
    BOOL DeleteValue(const wchar_t* name);
    // The Win32 result itself (0, 259 no more items, 234 buffer too small).
    LONG EnumKey(DWORD index, wchar_t* name, DWORD* lengthChars);
    LONG EnumValue(DWORD index, wchar_t* name, DWORD* lengthChars);
    // Deletes the subkey and everything below it, in the key's view at every level.
    BOOL DeleteKeyTree(const wchar_t* subkey);
    // Deletes the subkey only when it has neither subkeys nor values (else 145).
    BOOL DeleteEmptyKey(const wchar_t* subkey);

private:
    BOOL Result(LONG status);

    HKEY m_key = nullptr;
    REGSAM m_viewFlags = 0;
    DWORD m_lastError = 0;
};
