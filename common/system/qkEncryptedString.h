#pragma once
// Keeps a text stored enciphered in the program image and turns it into plain text only when
// it is first asked for, under a lock, so that the text does not stand readable in the file.
// Global holders are built at start-up, one per stored text, from its bytes and length.
#include "common/base/qkCriticalSection.h"
#include "common/base/qkMemory.h"

#include <windows.h>

#include <string>

class qkEncryptedString {
public:
    // The stored bytes are constant data that the holder refers to, not owns.
    qkEncryptedString(const BYTE* stored, DWORD length);
    virtual ~qkEncryptedString();
    qkEncryptedString(const qkEncryptedString&) = delete;
    qkEncryptedString& operator=(const qkEncryptedString&) = delete;

    // The base transforms replace every byte by its complement (both directions alike);
    // derived holders may supply others. In place; TRUE on success.
    virtual BOOL Decipher(BYTE* buffer, DWORD length);
    virtual BOOL Encipher(BYTE* buffer, DWORD length);

    // Produces the text once; TRUE when it is not empty, after which GetText holds it.
    BOOL Get();
    const std::wstring& GetText() const { return m_text; }
    // The empty text that callers use in place of the text when Get returned FALSE.
    static const wchar_t* GetEmpty() { return L""; }

private:
    static void Complement(BYTE* buffer, DWORD length);

    std::wstring m_text;
    const BYTE* m_stored;
    DWORD m_length;
    qkMemory m_buffer;
    qkCriticalSection m_lock;
};
