#include "common/system/qkModule.h"

#include "common/base/qkStringConvert.h"
#include "common/base/qkTrace.h"

#include <string>

qkModule::~qkModule()
{
    Free();
}

BOOL qkModule::Attach(HMODULE module)
{
    Free();
    m_module = module;
    return TRUE;
}

void qkModule::Free()
{
    if (m_module != nullptr) {
        ::FreeLibrary(m_module);
        m_module = nullptr;
    }
}

BOOL qkModule::LoadEx(const wchar_t* path)
{
    Free();
    m_module = ::LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (m_module == nullptr) {
        QK_TRACE(L"LoadLibraryExW %s : %lu", path ? path : L"(null)", ::GetLastError());
        return FALSE;
    }
    return TRUE;
}

BOOL qkModule::Load(const wchar_t* path)
{
    Free();
    m_module = ::LoadLibraryW(path);
    if (m_module == nullptr) {
        QK_TRACE(L"LoadLibraryW %s : %lu", path ? path : L"(null)", ::GetLastError());
        return FALSE;
    }
    return TRUE;
}

FARPROC qkModule::GetProcAddress(const char* name) const
{
    if (name == nullptr) {
        QK_TRACE(L"no export name");
        return nullptr;
    }
    FARPROC proc = ::GetProcAddress(m_module, name);
    if (proc == nullptr)
        QK_TRACE(L"missing export %S : %lu", name, ::GetLastError());
    return proc;
}

FARPROC qkModule::GetProcAddressW(const wchar_t* name) const
{
    if (name == nullptr) {
        QK_TRACE(L"no export name");
        return nullptr;
    }
    std::string narrow;
    if (!qkStringConvert::WideToAnsi(name, narrow))
        return nullptr;
    return GetProcAddress(narrow.c_str());
}
