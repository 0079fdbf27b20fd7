#pragma once
// Changes to one open store applied together: settings objects to save and section paths to
// delete are queued, and Commit hands them to the manager inside one store transaction. Queuing
// refuses what would collide inside that transaction: two saves of one section, a save at or
// below a queued deletion, and a deletion that covers a queued save or overlaps a queued
// deletion. A batch is single-use.
#include <mutex>
#include <string>
#include <vector>

#include <wrl/client.h>

#include "common/objects/qkTalCountedObject.h"
#include "settings/ISettingsStore.h"

namespace qkSettings {

class CSettingsBatch : public qkTalCountedObject, public ISettingsBatch {
public:
    enum State : DWORD { kOpen = 0, kCommitted = 1, kDiscarded = 2, kFailed = 3 };

    QK_TAL_UNKNOWN_IMPL()
    ~CSettingsBatch() override;

    static HRESULT Create(ISettingsMgr* manager, ISettingsBatch** out);

    HRESULT STDMETHODCALLTYPE GetSettings(LPCWSTR path, ISettings** settings) override;
    HRESULT STDMETHODCALLTYPE PutSettings(ISettings* settings, DWORD flags) override;
    HRESULT STDMETHODCALLTYPE PutSettings(ISettings* settings) override { return PutSettings(settings, 0); }
    HRESULT STDMETHODCALLTYPE DeleteSettings(LPCWSTR path, DWORD flags) override;
    HRESULT STDMETHODCALLTYPE DeleteSettings(LPCWSTR path) override { return DeleteSettings(path, 0); }
    HRESULT STDMETHODCALLTYPE Commit() override;
    HRESULT STDMETHODCALLTYPE Discard() override;

    // True when a covers b: b is a, or lies below a (a backslash follows a's text in b).
    static bool Covers(const std::wstring& a, const std::wstring& b);

protected:
    void* GetInterface(REFIID iid) override;

private:
    HRESULT ApplyQueued();
    void ClearQueued();

    std::mutex m_lock;
    Microsoft::WRL::ComPtr<ISettingsMgr> m_manager;
    std::vector<std::wstring> m_savePaths;   // normalised, with the leading backslash
    std::vector<std::wstring> m_deletePaths; // normalised, with the leading backslash
    std::vector<Microsoft::WRL::ComPtr<ISettings>> m_saves;
    std::vector<std::wstring> m_deletes; // as the caller passed them
    DWORD m_state = kOpen;
};

} // namespace qkSettings
