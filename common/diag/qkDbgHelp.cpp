#include "common/diag/qkDbgHelp.h"

#include <string>

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkStringConvert.h"
#include "common/base/qkTrace.h"
#include "common/system/qkSplitPath.h"

namespace {
template <typename Fn>
bool BindOne(const qkModule& module, Fn& entry, const char* name, bool resolve)
{
    entry = resolve ? module.GetProc<Fn>(name) : nullptr;
    return !resolve || entry != nullptr;
}
} // namespace

qkDbgHelp::qkDbgHelp()
{
    Bind(FALSE);
}

qkDbgHelp::~qkDbgHelp()
{
    Bind(FALSE);
}

qkCriticalSection& qkDbgHelp::ProcessLock()
{
    static qkCriticalSection lock;
    return lock;
}

BOOL qkDbgHelp::Load()
{
    Bind(FALSE);
    Free();
    qkExceptionInfo info;
    try {
        std::wstring path;
        if (!qkSplitPath::GetSystemDirectory(path) || !qkStringConvert::AppendPath(path, L"DBGHELP.DLL"))
            return FALSE;
        if (!LoadEx(path.c_str())) {
            QK_TRACE(L"loading %s failed, error %lu", path.c_str(), ::GetLastError());
            return FALSE;
        }
        if (!Bind(TRUE))
            QK_TRACE(L"%s lacks an entry point", path.c_str());
        return m_module != nullptr;
    }
    QK_CATCH(info)
    return FALSE;
}

BOOL qkDbgHelp::Bind(BOOL resolveFlag)
{
    if (resolveFlag && m_module == nullptr)
        return FALSE;
    const bool resolve = resolveFlag != FALSE;
    bool all = true;
    all &= BindOne(*this, pfnMiniDumpWriteDump, "MiniDumpWriteDump", resolve);
    all &= BindOne(*this, pfnStackWalk64, "StackWalk64", resolve);
    all &= BindOne(*this, pfnSymFunctionTableAccess64, "SymFunctionTableAccess64", resolve);
    all &= BindOne(*this, pfnSymGetModuleBase64, "SymGetModuleBase64", resolve);
    all &= BindOne(*this, pfnUnDecorateSymbolName, "UnDecorateSymbolName", resolve);
    all &= BindOne(*this, pfnUnDecorateSymbolNameW, "UnDecorateSymbolNameW", resolve);
    all &= BindOne(*this, pfnSymInitializeW, "SymInitializeW", resolve);
    all &= BindOne(*this, pfnSymCleanup, "SymCleanup", resolve);
    all &= BindOne(*this, pfnSymSetOptions, "SymSetOptions", resolve);
    return all;
}
