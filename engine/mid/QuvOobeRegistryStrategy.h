#pragma once
// First-run setup read from the setup values of the registry (Windows Vista and later). The
// root and a path prefix can be given so that tests read a tree of their own.
#include "engine/mid/QuvOobeStrategy.h"

#include "common/system/qkHandle.h"

#include <string>

class QuvOobeRegistryStrategy : public QuvOobeStrategy {
public:
    // recheckMs: how long a wait goes without a change notification before it looks again.
    explicit QuvOobeRegistryStrategy(HKEY root = HKEY_LOCAL_MACHINE, std::wstring prefix = L"",
                                     DWORD recheckMs = 60000);
    bool IsInProgress() override;
    // Re-checks on every change of the image state and at least once a minute.
    void Wait(HANDLE handle1, HANDLE handle2) override;

protected:
    bool InitializeStrategy() override;

private:
    std::wstring Path(const wchar_t* subkey) const;

    HKEY m_root;
    DWORD m_recheckMs;
    std::wstring m_prefix;
    bool m_initialized = false;
    qkHandle m_event;
};
