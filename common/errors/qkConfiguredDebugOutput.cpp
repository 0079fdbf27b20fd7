#include "common/errors/qkConfiguredDebugOutput.h"

#include "common/base/qkScopedLock.h"
#include "common/errors/qkTalDebugOptions.h"

qkConfiguredDebugOutput::qkConfiguredDebugOutput(const wchar_t* moduleName) : qkDebugOutput(moduleName) {}

BOOL qkConfiguredDebugOutput::Initialize()
{
    if (m_initialized) {
        return TRUE;
    }
    qkScopedLock lock(m_lock);
    if (!lock.IsLocked()) {
        return FALSE;
    }
    if (m_initialized || m_loading) {
        // Initialised meanwhile by another thread, or a setter or log call made by the option
        // loader itself on this thread (the section is recursive).
        return TRUE;
    }
    m_loading = TRUE;
    BOOL result = FALSE;
    {
        qkTalDebugOptions options;
        const bool loaded = options.Load();
        // The options are applied even when the load stopped half-way: what was read holds.
        const bool applied = options.ApplyTo(*this);
        const BOOL named = FillDefaultNames();
        result = (loaded && applied && named) ? TRUE : FALSE;
    }
    m_loading = FALSE;
    m_initialized = TRUE;
    return result;
}

BOOL qkConfiguredDebugOutput::SetModuleName(const wchar_t* moduleName)
{
    Initialize();
    return ReplaceFileNamePart(m_moduleName, moduleName);
}
