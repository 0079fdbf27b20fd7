#include "services/companion/CRegistryAdapter.h"

namespace vek {

BOOL CRegistryAdapter::Open(HKEY parent, const wchar_t* subkey, REGSAM access, BOOL createIfMissing)
{
    return m_key.Open(parent, subkey, access, createIfMissing);
}

BOOL CRegistryAdapter::QueryStringValue(const wchar_t* name, std::wstring& value)
{
    return m_key.QueryStringValue(name, value);
}

BOOL CRegistryAdapter::SetStringValue(const wchar_t* name, const std::wstring& value)
{
    return m_key.SetStringValue(name, value);
}

BOOL CRegistryAdapter::QueryDWORDValue(const wchar_t* name, DWORD& value)
{
    return m_key.QueryDWORDValue(name, value);
}

BOOL CRegistryAdapter::SetDWORDValue(const wchar_t* name, DWORD value)
{
    return m_key.SetDWORDValue(name, value);
}

BOOL CRegistryAdapter::DeleteValue(const wchar_t* name)
{
    return m_key.DeleteValue(name);
}

DWORD CRegistryAdapter::GetLastError() const
{
    return m_key.GetLastError();
}

} // namespace vek
