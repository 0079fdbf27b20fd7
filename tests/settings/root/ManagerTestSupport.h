#pragma once
// Helpers shared by the settings manager's tests: store results as HRESULTs, and the one
// transaction whose outcome the crash tests judge ("old" before it, "new" after it).
#include <windows.h>

#include <string>

#include <wrl/client.h>

#include "common/objects/ISettingsMgr.h"
#include "settings/store/qkSettingsResult.h"

namespace settingstest {

// A store result (qkSettings::result) as the HRESULT the interfaces answer.
inline constexpr HRESULT (&R)(DWORD) = qkSettings::ResultHr;

// The store's state as "old" (S.v=1 without S.w, T present, U\V absent), "new" (S.v=2, S.w=2,
// T gone, U\V.x=2) or "mixed".
inline std::string StoreState(qkSettings::ISettingsMgr* mgr)
{
    Microsoft::WRL::ComPtr<qkSettings::ISettings> s, t, u;
    DWORD v = 0, w = 0, x = 0;
    const bool sOk = SUCCEEDED(mgr->OpenSettings(L"S", &s)) && SUCCEEDED(s->GetDword(L"v", &v));
    const bool wThere = sOk && SUCCEEDED(s->GetDword(L"w", &w));
    const bool tThere = SUCCEEDED(mgr->OpenSettings(L"T", &t));
    const bool uThere = SUCCEEDED(mgr->OpenSettings(L"U\\V", &u)) && SUCCEEDED(u->GetDword(L"x", &x));
    if (sOk && v == 1 && !wThere && tThere && !uThere)
        return "old";
    if (sOk && v == 2 && wThere && w == 2 && !tThere && uThere && x == 2)
        return "new";
    return "mixed";
}

// Takes the store from "old" to "new" in one transaction: S.v=2, U\V.x=2, S saved again with
// S.w=2, T deleted. A failed transaction is rolled back when asked (a crashed process rolls
// nothing back).
inline HRESULT RunTransaction(qkSettings::ISettingsMgr* mgr, bool rollBackOnFailure)
{
    Microsoft::WRL::ComPtr<qkSettings::ISettingsTransaction> tx;
    mgr->QueryInterface(qkSettings::IID_ISettingsTransaction, reinterpret_cast<void**>(tx.GetAddressOf()));
    Microsoft::WRL::ComPtr<qkSettings::ISettings> s, u;
    HRESULT hr = tx->BeginTransaction();
    if (SUCCEEDED(hr))
        hr = mgr->GetSettings(L"S", &s);
    if (SUCCEEDED(hr))
        hr = s->SetDword(L"v", 2);
    if (SUCCEEDED(hr))
        hr = mgr->PutSettings(s.Get());
    if (SUCCEEDED(hr))
        hr = mgr->GetSettings(L"U\\V", &u);
    if (SUCCEEDED(hr))
        hr = u->SetDword(L"x", 2);
    if (SUCCEEDED(hr))
        hr = mgr->PutSettings(u.Get());
    if (SUCCEEDED(hr))
        hr = s->SetDword(L"w", 2);
    if (SUCCEEDED(hr))
        hr = mgr->PutSettings(s.Get());
    if (SUCCEEDED(hr))
        hr = mgr->DeleteSettings(L"T");
    if (SUCCEEDED(hr))
        hr = tx->CommitTransaction();
    if (FAILED(hr) && rollBackOnFailure)
        tx->RollbackTransaction();
    return hr;
}

} // namespace settingstest
