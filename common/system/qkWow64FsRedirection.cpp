#include "common/system/qkWow64FsRedirection.h"

#include "common/base/qkCriticalSection.h"
#include "common/base/qkExceptionInfo.h"
#include "common/base/qkScopedLock.h"
#include "common/base/qkTrace.h"
#include "common/system/qkKernel32.h"
#include "common/system/qkOSInfo.h"

namespace {

struct RedirectionTable {
    qkCriticalSection lock;
    qkKernel32 kernel32;
    bool ready = false;
};

RedirectionTable& Table()
{
    static RedirectionTable table;
    return table;
}

// Loads the table once; true when both redirection entries are there.
bool TableReady()
{
    RedirectionTable& table = Table();
    qkScopedLock lock(table.lock);
    if (!lock.IsLocked())
        return false;
    if (table.ready)
        return true;
    if (table.kernel32.Get() == nullptr && !table.kernel32.Load()) {
        QK_TRACE(L"cannot load kernel32");
        return false;
    }
    table.ready = table.kernel32.pfnWow64DisableWow64FsRedirection != nullptr &&
                  table.kernel32.pfnWow64RevertWow64FsRedirection != nullptr;
    return table.ready;
}

} // namespace

qkWow64FsRedirection::qkWow64FsRedirection(bool enable)
{
    Enable(enable);
}

qkWow64FsRedirection::~qkWow64FsRedirection()
{
    if (!m_saved.empty()) {
        qkKernel32& kernel32 = Table().kernel32;
        if (kernel32.Get() != nullptr && kernel32.pfnWow64RevertWow64FsRedirection != nullptr) {
            for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
                if (!kernel32.pfnWow64RevertWow64FsRedirection(*it))
                    QK_TRACE(L"revert failed : %lu", ::GetLastError());
            }
        }
    }
    m_saved.clear();
}

BOOL qkWow64FsRedirection::Enable(bool enable)
{
    if (!qkOSInfo::IsWow64())
        return TRUE;
    if (!TableReady())
        return FALSE;
    qkKernel32& kernel32 = Table().kernel32;
    if (!enable) {
        qkExceptionInfo info;
        try {
            m_saved.push_back(nullptr);
        }
        QK_CATCH(info)
        if (info.HasError())
            return FALSE;
        if (!kernel32.pfnWow64DisableWow64FsRedirection(&m_saved.back())) {
            QK_TRACE(L"disable failed : %lu", ::GetLastError());
            m_saved.pop_back();
            return FALSE;
        }
        return TRUE;
    }
    if (m_saved.empty()) {
        QK_TRACE(L"nothing to revert");
        return FALSE;
    }
    PVOID saved = m_saved.back();
    m_saved.pop_back();
    if (!kernel32.pfnWow64RevertWow64FsRedirection(saved)) {
        QK_TRACE(L"revert failed : %lu", ::GetLastError());
        return FALSE;
    }
    return TRUE;
}
