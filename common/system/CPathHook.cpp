#include "common/system/CPathHook.h"

#include "common/base/qkCriticalSection.h"
#include "common/base/qkExceptionInfo.h"
#include "common/base/qkScopedLock.h"
#include "common/errors/qkLog.h"
#include "common/system/qkPathExpansion.h"
#include "common/errors/qkLog.h"

#include <algorithm>
#include <atomic>
#include <cwctype>

namespace {

qkCriticalSection& HookLock()
{
    static qkCriticalSection lock;
    return lock;
}

std::atomic<CPathHook*> g_currentRepository{nullptr};

std::wstring Lower(const wchar_t* text)
{
    std::wstring lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return lower;
}

} // namespace

CPathHook& CPathHook::Instance()
{
    // Built on first use; the hook lock is built before it so that it outlives the hook.
    HookLock();
    static CPathHook hook;
    return hook;
}

CPathHook* CPathHook::GetCurrentRepository()
{
    return g_currentRepository.load();
}

CPathHook::~CPathHook()
{
    if (m_refCount != 0)
        QK_LOG_INFO(L"object destroyed with a ref count: %d", static_cast<int>(m_refCount));
}

void CPathHook::Attach(BOOL attach)
{
    if (attach) {
        if (::InterlockedIncrement(&m_refCount) == 1) {
            qkPathExpansion::SetTokenResolver(&CPathHook::ResolveToken);
            g_currentRepository.store(this);
        }
    } else {
        // A detach without a matching attach is refused: a count below zero would leave the
        // next attach without effect.
        LONG count = m_refCount;
        for (;;) {
            if (count <= 0) {
                QK_LOG_WARNING(L"Detach without a matching attach ignored");
                return;
            }
            const LONG seen = ::InterlockedCompareExchange(&m_refCount, count - 1, count);
            if (seen == count)
                break;
            count = seen;
        }
        if (count == 1) {
            qkPathExpansion::SetTokenResolver(nullptr);
            g_currentRepository.store(nullptr);
        }
    }
}

BOOL CPathHook::ResolveToken(const wchar_t* name, std::wstring& value)
{
    if (name == nullptr)
        return FALSE;
    CPathHook& hook = Instance();
    qkExceptionInfo info;
    try {
        qkScopedLock lock(HookLock());
        auto it = hook.m_tokens.find(Lower(name));
        if (it == hook.m_tokens.end())
            return FALSE;
        value = it->second;
        return TRUE;
    }
    QK_CATCH(info)
    QK_LOG_ERROR(L"out of memory");
    return FALSE;
}

bool CPathHook::SetToken(const wchar_t* name, const wchar_t* value)
{
    if (name == nullptr || value == nullptr)
        return false;
    qkExceptionInfo info;
    try {
        qkScopedLock lock(HookLock());
        m_tokens[Lower(name)] = value;
        return true;
    }
    QK_CATCH(info)
    return false;
}

bool CPathHook::SetModulePath(const GUID& objectId, const wchar_t* path)
{
    if (path == nullptr)
        return false;
    qkExceptionInfo info;
    try {
        qkScopedLock lock(HookLock());
        m_modules[objectId] = path;
        return true;
    }
    QK_CATCH(info)
    return false;
}

bool CPathHook::Contains(const GUID& objectId)
{
    qkScopedLock lock(HookLock());
    return m_modules.find(objectId) != m_modules.end();
}

bool CPathHook::GetModulePath(const GUID& objectId, std::wstring& path)
{
    qkExceptionInfo info;
    try {
        qkScopedLock lock(HookLock());
        auto it = m_modules.find(objectId);
        if (it == m_modules.end())
            return false;
        path = it->second;
        return true;
    }
    QK_CATCH(info)
    return false;
}
