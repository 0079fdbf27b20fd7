#pragma once
// The settings interface as both settings objects serve it, the store's (CSettings) and the
// older format's (LegacySettings): the typed reads and writes, the object slots and every narrow
// twin, written once over a value store that each object supplies (PutValue, FindValue). What
// each object keeps for itself is its value store: the type numbers, how a text is stored,
// which names it accepts, what a deleted value answers, and the slots that walk the whole store.
#include <windows.h>

#include <mutex>
#include <string>

#include "settings/ISettingsStore.h"

namespace qkSettings {

class CSettingsSlots : public ISettings {
public:
    HRESULT STDMETHODCALLTYPE GetDword(LPCWSTR name, DWORD* value) override;
    HRESULT STDMETHODCALLTYPE GetDwordA(LPCSTR name, DWORD* value) override;
    HRESULT STDMETHODCALLTYPE SetDword(LPCWSTR name, DWORD value) override;
    HRESULT STDMETHODCALLTYPE SetDwordA(LPCSTR name, DWORD value) override;
    HRESULT STDMETHODCALLTYPE GetString(LPCWSTR name, LPWSTR buffer, DWORD* size) override;
    HRESULT STDMETHODCALLTYPE GetStringA(LPCSTR name, LPSTR buffer, DWORD* size) override;
    HRESULT STDMETHODCALLTYPE SetString(LPCWSTR name, LPCWSTR text) override;
    HRESULT STDMETHODCALLTYPE SetStringA(LPCSTR name, LPCSTR text) override;
    HRESULT STDMETHODCALLTYPE GetBinary(LPCWSTR name, void* buffer, DWORD* size) override;
    HRESULT STDMETHODCALLTYPE GetBinaryA(LPCSTR name, void* buffer, DWORD* size) override;
    HRESULT STDMETHODCALLTYPE SetBinary(LPCWSTR name, const void* data, DWORD size) override;
    HRESULT STDMETHODCALLTYPE SetBinaryA(LPCSTR name, const void* data, DWORD size) override;
    HRESULT STDMETHODCALLTYPE DeleteValueA(LPCSTR name) override;
    HRESULT STDMETHODCALLTYPE GetStringObject(LPCWSTR name, IUnknown** text) override;
    HRESULT STDMETHODCALLTYPE GetStringObjectA(LPCSTR name, IUnknown** text) override;
    HRESULT STDMETHODCALLTYPE SetStringObject(LPCWSTR name, IUnknown* text) override;
    HRESULT STDMETHODCALLTYPE SetStringObjectA(LPCSTR name, IUnknown* text) override;
    HRESULT STDMETHODCALLTYPE GetBinaryObject(LPCWSTR name, IUnknown** data) override;
    HRESULT STDMETHODCALLTYPE GetBinaryObjectA(LPCSTR name, IUnknown** data) override;
    HRESULT STDMETHODCALLTYPE SetBinaryObject(LPCWSTR name, IUnknown* data) override;
    HRESULT STDMETHODCALLTYPE SetBinaryObjectA(LPCSTR name, IUnknown* data) override;
    HRESULT STDMETHODCALLTYPE GetExpandedStringObject(LPCWSTR name, IUnknown** text) override;
    HRESULT STDMETHODCALLTYPE GetExpandedStringObjectA(LPCSTR name, IUnknown** text) override;
    HRESULT STDMETHODCALLTYPE GetExpandedString(LPCWSTR name, LPWSTR buffer, DWORD* size) override;
    HRESULT STDMETHODCALLTYPE GetExpandedStringA(LPCSTR name, LPSTR buffer, DWORD* size) override;
    HRESULT STDMETHODCALLTYPE GetQword(LPCWSTR name, ULONGLONG* value) override;
    HRESULT STDMETHODCALLTYPE GetQwordA(LPCSTR name, ULONGLONG* value) override;
    HRESULT STDMETHODCALLTYPE SetQword(LPCWSTR name, ULONGLONG value) override;
    HRESULT STDMETHODCALLTYPE SetQwordA(LPCSTR name, ULONGLONG value) override;

    // The object's lock: every slot holds it while it reads or changes the values.
    std::unique_lock<std::recursive_mutex> LockValues();

    // The kinds of value the typed slots read and write; each object numbers them its own way.
    enum class Kind { Dword, Qword, Text, Binary };

protected:
    // The rules in which the two objects differ, each as its format defines it.
    struct Rules {
        // A read checks the caller's buffer and size before it looks the value up (the store's
        // object); the older format's object looks the value up first.
        bool buffersCheckedFirst;
        // A string-object read refuses an out pointer that already holds an object (the older
        // format's object); the store's object clears it.
        bool textOutMustBeEmpty;
    };

    explicit CSettingsSlots(Rules rules) : m_rules(rules) {}
    virtual ~CSettingsSlots() = default;

    // Under the lock: stores the value of the kind under the name. A text comes as its units
    // (size = units * 2 bytes) and is terminated right after them.
    virtual HRESULT PutValue(LPCWSTR name, Kind kind, const void* data, DWORD size) = 0;
    // Under the lock: the live value of the name and kind, valid while the lock is held; a text
    // without its terminator. Fails with the object's answer for a bad name, a missing value or
    // one of another kind.
    virtual HRESULT FindValue(LPCWSTR name, Kind kind, const BYTE*& data, DWORD& size) = 0;

private:
    HRESULT ReadNumber(LPCWSTR name, Kind kind, void* value, DWORD size);
    HRESULT ReadText(LPCWSTR name, bool expand, std::wstring& text);
    HRESULT ReadTextInto(LPCWSTR name, bool expand, LPWSTR buffer, DWORD* size);
    HRESULT ReadTextIntoA(LPCSTR name, bool expand, LPSTR buffer, DWORD* size);
    HRESULT ReadTextObject(LPCWSTR name, bool expand, IUnknown** text);
    HRESULT PutText(LPCWSTR name, const wchar_t* text, size_t units);

    std::recursive_mutex m_lock;
    const Rules m_rules;
};

} // namespace qkSettings
