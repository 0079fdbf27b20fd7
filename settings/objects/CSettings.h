#pragma once
// One section of the settings store: its normalised path and a cache of its named, typed
// values. Changes live in the object until the manager's PutSettings writes them; other
// objects for the same path do not see them.
#include <windows.h>

#include <mutex>
#include <string>

#include "common/objects/qkTalCountedObject.h"
#include "settings/ISettingsStore.h"
#include "settings/objects/CSettingsSlots.h"
#include "settings/objects/CValueTable.h"

namespace qkSettings {

// What the manager and the data root use of a settings object. Each call takes the object's
// lock; the table stays usable while the caller holds the lock returned by Lock.
struct ISettingsInternal : public IUnknown {
    virtual std::unique_lock<std::recursive_mutex> STDMETHODCALLTYPE Lock() = 0;
    virtual CValueTable& STDMETHODCALLTYPE GetValueTable() = 0;
    virtual const CStringBuffer& STDMETHODCALLTYPE GetPath() = 0;
};

// The store's settings object. The typed slots and narrow twins are CSettingsSlots'; this class
// keeps the value cache (names of up to 32,767 units, a deleted value counts as absent) and
// answers the interfaces of its own format.
class CSettings : public qkTalCountedObject, public CSettingsSlots, public ISettingsInternal {
public:
    CSettings() : CSettingsSlots(Rules{.buffersCheckedFirst = true, .textOutMustBeEmpty = false}) {}
    QK_TAL_UNKNOWN_IMPL()

    // Once, right after construction: the path is normalised (two backslashes in a row are
    // bad syntax).
    HRESULT Initialize(const wchar_t* path);

    HRESULT STDMETHODCALLTYPE DeleteValue(LPCWSTR name) override;
    HRESULT STDMETHODCALLTYPE EnumValues(IEnumValues** values) override;
    HRESULT STDMETHODCALLTYPE GetInfo(DWORD* longestName, DWORD* largestValue) override;
    HRESULT STDMETHODCALLTYPE DeleteAllValues() override;

    std::unique_lock<std::recursive_mutex> STDMETHODCALLTYPE Lock() override { return LockValues(); }
    CValueTable& STDMETHODCALLTYPE GetValueTable() override { return m_values; }
    const CStringBuffer& STDMETHODCALLTYPE GetPath() override { return m_path; }

protected:
    void* GetInterface(REFIID iid) override;
    HRESULT PutValue(LPCWSTR name, Kind kind, const void* data, DWORD size) override;
    HRESULT FindValue(LPCWSTR name, Kind kind, const BYTE*& data, DWORD& size) override;

private:
    CValueTable m_values;
    CStringBuffer m_path;
    bool m_initialized = false;
};

} // namespace qkSettings
