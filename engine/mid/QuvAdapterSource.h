#pragma once
// The machine's identity as the hardware addresses of its network adapters. The adapter list
// comes from GetAdaptersInfo, or from a list function the caller gives (tests).
#include "engine/mid/QuvIdentitySource.h"

#include <functional>

class QuvAdapterSource : public QuvIdentitySource {
public:
    using ListFunction = std::function<HRESULT(std::wstring&)>;

    QuvAdapterSource();
    explicit QuvAdapterSource(ListFunction list);

    const wchar_t* GetName() const override { return L"Adapters"; }
    // The adapter list; "N/A" (with success) when it cannot be built or is empty. Only running
    // out of memory fails.
    HRESULT GetValue(std::wstring& value) override;
    // The machine changed when both lists hold a physical adapter and none of the current ones
    // is stored. Otherwise new adapters are added to the stored stamp. Host-only virtual
    // adapters (00-50-56-C0-00-xx) do not count as physical.
    HRESULT Compare(const std::wstring& current, const std::wstring& stored, std::wstring& merged,
                    bool& hasMerged) override;

    static bool IsPhysicalToken(const std::wstring& token);

private:
    ListFunction m_list;
};
