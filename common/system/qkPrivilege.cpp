#include "common/system/qkPrivilege.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkTrace.h"

namespace {

constexpr DWORD kTokenAccess = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;

} // namespace

qkPrivilege::~qkPrivilege()
{
    Restore();
}

bool qkPrivilege::EnableForProcess(HANDLE process, const wchar_t* name)
{
    if (process == nullptr || name == nullptr) {
        QK_TRACE(L"no process or privilege name");
        return false;
    }
    Restore();
    HANDLE token = nullptr;
    if (!::OpenProcessToken(process, kTokenAccess, &token)) {
        QK_TRACE(L"OpenProcessToken : %lu", ::GetLastError());
        return false;
    }
    m_token.Reset(token);
    return Enable(name);
}

bool qkPrivilege::EnableForCurrentProcess(const wchar_t* name)
{
    return EnableForProcess(::GetCurrentProcess(), name);
}

bool qkPrivilege::EnableForThread(HANDLE thread, const wchar_t* name)
{
    if (thread == nullptr || thread == INVALID_HANDLE_VALUE || name == nullptr) {
        QK_TRACE(L"no thread or privilege name");
        return false;
    }
    Restore();
    HANDLE token = nullptr;
    if (!::OpenThreadToken(thread, kTokenAccess, TRUE, &token)) {
        DWORD error = ::GetLastError();
        if (error == ERROR_NO_TOKEN)
            return EnableForProcess(::GetCurrentProcess(), name);
        QK_TRACE(L"OpenThreadToken : %lu", error);
        return false;
    }
    m_token.Reset(token);
    return Enable(name);
}

bool qkPrivilege::EnableForCurrentThread(const wchar_t* name)
{
    return EnableForThread(::GetCurrentThread(), name);
}

bool qkPrivilege::Enable(const wchar_t* name)
{
    qkExceptionInfo info;
    try {
        LUID luid{};
        if (name == nullptr || !::LookupPrivilegeValueW(nullptr, name, &luid)) {
            QK_TRACE(L"LookupPrivilegeValueW %s : %lu", name ? name : L"(null)", ::GetLastError());
            return false;
        }
        TOKEN_PRIVILEGES wanted{};
        wanted.PrivilegeCount = 1;
        wanted.Privileges[0].Luid = luid;
        wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        std::vector<BYTE> previous(sizeof(TOKEN_PRIVILEGES) + sizeof(LUID_AND_ATTRIBUTES));
        DWORD length = 0;
        if (!::AdjustTokenPrivileges(m_token.Get(), FALSE, &wanted, static_cast<DWORD>(previous.size()),
                                     reinterpret_cast<TOKEN_PRIVILEGES*>(previous.data()), &length)) {
            QK_TRACE(L"AdjustTokenPrivileges %s : %lu", name, ::GetLastError());
            return false;
        }
        if (::GetLastError() == ERROR_NOT_ALL_ASSIGNED) {
            QK_TRACE(L"the token does not hold %s", name);
            return false;
        }
        m_previous = std::move(previous);
        return true;
    }
    QK_CATCH(info)
    return false;
}

void qkPrivilege::Restore()
{
    if (m_previous.empty())
        return;
    auto* previous = reinterpret_cast<TOKEN_PRIVILEGES*>(m_previous.data());
    // A privilege that was enabled already reports no previous state: nothing to write back.
    if (previous->PrivilegeCount > 0 && !::AdjustTokenPrivileges(m_token.Get(), FALSE, previous, 0, nullptr, nullptr))
        QK_TRACE(L"cannot restore the privileges : %lu", ::GetLastError());
    m_previous.clear();
}

bool qkPrivilege::IsEnabled(HANDLE token, const wchar_t* name)
{
    qkHandle owned;
    if (token == nullptr) {
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
            return false;
        owned.Reset(token);
    }
    LUID luid{};
    if (!::LookupPrivilegeValueW(nullptr, name, &luid))
        return false;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> buffer(size ? size : 1);
    if (!::GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size))
        return false;
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        const LUID& id = privileges->Privileges[i].Luid;
        if (id.LowPart == luid.LowPart && id.HighPart == luid.HighPart)
            return (privileges->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
    return false;
}
