#pragma once
// Value names of a section with their public types, and the names listed under a path.
// Both are immutable after construction.
#include <string>
#include <vector>

#include "common/objects/qkTalCountedObject.h"
#include "settings/ISettingsStore.h"
#include "settings/objects/CValueTable.h"

namespace qkSettings {

class CValueNameList : public qkTalCountedObject, public IEnumValues {
public:
    QK_TAL_UNKNOWN_IMPL()
    static HRESULT Create(const CValueTable& table, IEnumValues** out);
    // The names with their public types, in the order given.
    static HRESULT Create(std::vector<std::pair<std::wstring, DWORD>> entries, IEnumValues** out);

    HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) override;
    HRESULT STDMETHODCALLTYPE GetName(DWORD index, LPWSTR buffer, DWORD* size, DWORD* type) override;
    HRESULT STDMETHODCALLTYPE GetNameA(DWORD index, LPSTR buffer, DWORD* size, DWORD* type) override;
    HRESULT STDMETHODCALLTYPE GetNameObject(DWORD index, IUnknown** text, DWORD* type) override;

protected:
    void* GetInterface(REFIID iid) override;

private:
    std::vector<std::pair<std::wstring, DWORD>> m_entries;
};

class CNameList : public qkTalCountedObject, public IEnumSettings {
public:
    QK_TAL_UNKNOWN_IMPL()
    static HRESULT Create(std::vector<std::wstring> names, IEnumSettings** out);

    HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) override;
    HRESULT STDMETHODCALLTYPE GetName(DWORD index, LPWSTR buffer, DWORD* size) override;
    HRESULT STDMETHODCALLTYPE GetNameA(DWORD index, LPSTR buffer, DWORD* size) override;
    HRESULT STDMETHODCALLTYPE GetNameObject(DWORD index, IUnknown** text) override;

protected:
    void* GetInterface(REFIID iid) override;

private:
    std::vector<std::wstring> m_names;
};

// Copies name into buffer (size in characters with the terminator): the shared size rule of
// both lists.
HRESULT CopyListName(const std::wstring& name, LPWSTR buffer, DWORD* size);
HRESULT CopyListNameA(const std::wstring& name, LPSTR buffer, DWORD* size);

} // namespace qkSettings
