#pragma once
// The string object's interface: one text, narrow or wide, converted between the two on demand
// (through the ANSI code page). Its interface id is the string object's object id.
#include <windows.h>
#include <unknwn.h>

#include <string>

// {3F05A321-43B7-4578-93C8-CDC5F64A149A}
inline constexpr GUID CLSID_qkTalString = {
    0x3F05A321, 0x43B7, 0x4578, {0x93, 0xC8, 0xCD, 0xC5, 0xF6, 0x4A, 0x14, 0x9A}};

struct IStringObject : public IUnknown {
    enum Type : LONG { TypeNone = 0, TypeAnsi = 1, TypeWide = 2 };

    // Empties the text (type 0) and clears the changed flag.
    virtual void STDMETHODCALLTYPE Clear() = 0;
    virtual LONG STDMETHODCALLTYPE GetType() = 0;
    // Characters of the text.
    virtual ULONG STDMETHODCALLTYPE GetLength() = 0;
    // Valid until the object changes.
    virtual const char* STDMETHODCALLTYPE GetStringA() = 0;
    virtual BOOL STDMETHODCALLTYPE SetStringA(const char* text) = 0;
    virtual BOOL STDMETHODCALLTYPE SetString(const wchar_t* text) = 0;
    virtual BOOL STDMETHODCALLTYPE SetString(const char* text) = 0;
    virtual const wchar_t* STDMETHODCALLTYPE GetStringW() = 0;
    virtual BOOL STDMETHODCALLTYPE SetStringW(const wchar_t* text) = 0;
};

namespace qkLib {
// The object's text as wide text: ANSI text converted, wide text copied, no text empty.
BOOL GetStringObjectText(IStringObject* object, std::wstring& out);
} // namespace qkLib
