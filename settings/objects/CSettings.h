#pragma once
// One section of the settings store: its normalised path and a cache of its named, typed
// values. Changes live in the object until the manager's PutSettings writes them; other
// objects for the same path do not see them.
#include <windows.h>

#include <mutex>
#include <string>

#include "common/objects/qkTalCountedObject.h"
#include "settings/ISettingsStore.h"
#include "settings/objects/CValueTable.h"

namespace qkSettings {

// What the manager and the data root use of a settings object. Each call takes the object's
// lock; the table stays usable while the caller holds the lock returned by Lock.
struct ISettingsInternal : public IUnknown {
    virtual std::unique_lock<std::recursive_mutex> STDMETHODCALLTYPE Lock() = 0;
    virtual CValueTable& STDMETHODCALLTYPE GetValueTable() = 0;
    virtual const CStringBuffer& STDMETHODCALLTYPE GetPath() = 0;
};

class CSettings : public qkTalCountedObject, public ISettings, public ISettingsInternal {
public:
    CSettings() = default;
    QK_TAL_UNKNOWN_IMPL()

    // Once, right after construction: the path is normalised (two backslashes in a row are
    // bad syntax).
    HRESULT Initialize(const wchar_t* path);

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
    HRESULT STDMETHODCALLTYPE DeleteValue(LPCWSTR name) override;
    HRESULT STDMETHODCALLTYPE DeleteValueA(LPCSTR name) override;
    HRESULT STDMETHODCALLTYPE EnumValues(IEnumValues** values) override;
    HRESULT STDMETHODCALLTYPE GetInfo(DWORD* longestName, DWORD* largestValue) override;
    HRESULT STDMETHODCALLTYPE GetStringObject(LPCWSTR name, IUnknown** text) override;
    HRESULT STDMETHODCALLTYPE GetStringObjectA(LPCSTR name, IUnknown** text) override;
    HRESULT STDMETHODCALLTYPE SetStringObject(LPCWSTR name, IUnknown* text) override;
    HRESULT STDMETHODCALLTYPE SetStringObjectA(LPCSTR name, IUnknown* text) override;
    HRESULT STDMETHODCALLTYPE GetBinaryObject(LPCWSTR name, IUnknown** data) override;
    HRESULT STDMETHODCALLTYPE GetBinaryObjectA(LPCSTR name, IUnknown** data) override;
    HRESULT STDMETHODCALLTYPE SetBinaryObject(LPCWSTR name, IUnknown* data) override;
    HRESULT STDMETHODCALLTYPE SetBinaryObjectA(LPCSTR name, IUnknown* data) override;
    HRESULT STDMETHODCALLTYPE DeleteAllValues() override;
    HRESULT STDMETHODCALLTYPE GetExpandedStringObject(LPCWSTR name, IUnknown** text) override;
    HRESULT STDMETHODCALLTYPE GetExpandedStringObjectA(LPCSTR name, IUnknown** text) override;
    HRESULT STDMETHODCALLTYPE GetExpandedString(LPCWSTR name, LPWSTR buffer, DWORD* size) override;
    HRESULT STDMETHODCALLTYPE GetExpandedStringA(LPCSTR name, LPSTR buffer, DWORD* size) override;
    HRESULT STDMETHODCALLTYPE GetQword(LPCWSTR name, ULONGLONG* value) override;
    HRESULT STDMETHODCALLTYPE GetQwordA(LPCSTR name, ULONGLONG* value) override;
    HRESULT STDMETHODCALLTYPE SetQword(LPCWSTR name, ULONGLONG value) override;
    HRESULT STDMETHODCALLTYPE SetQwordA(LPCSTR name, ULONGLONG value) override;

    std::unique_lock<std::recursive_mutex> STDMETHODCALLTYPE Lock() override;
    CValueTable& STDMETHODCALLTYPE GetValueTable() override { return m_values; }
    const CStringBuffer& STDMETHODCALLTYPE GetPath() override { return m_path; }

protected:
    void* GetInterface(REFIID iid) override;

private:
    HRESULT Set(LPCWSTR name, DWORD type, const void* data, DWORD size);
    HRESULT Get(LPCWSTR name, DWORD type, void* buffer, DWORD* size);
    HRESULT ValueText(LPCWSTR name, bool expand, std::wstring& text);
    HRESULT ReadText(LPCWSTR name, bool expand, LPWSTR buffer, DWORD* size);
    HRESULT ReadTextObject(LPCWSTR name, bool expand, IUnknown** text);
    HRESULT ReadTextA(LPCSTR name, bool expand, LPSTR buffer, DWORD* size);

    std::recursive_mutex m_lock;
    CValueTable m_values;
    CStringBuffer m_path;
    bool m_initialized = false;
};

} // namespace qkSettings
