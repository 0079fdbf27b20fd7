#pragma once
// One registry key behind a virtual interface, so that the companion-application installer's
// registry state can be redirected in tests. Each operation forwards to the held qkRegistry and
// answers what it answers; the key closes when the adapter goes.
#include <windows.h>

#include <string>

#include "common/system/qkRegistry.h"

namespace vek {

class CRegistryAdapter {
public:
    CRegistryAdapter() = default;
    virtual ~CRegistryAdapter() = default;
    CRegistryAdapter(const CRegistryAdapter&) = delete;
    CRegistryAdapter& operator=(const CRegistryAdapter&) = delete;

    virtual BOOL Open(HKEY parent, const wchar_t* subkey, REGSAM access, BOOL createIfMissing);
    virtual BOOL QueryStringValue(const wchar_t* name, std::wstring& value);
    virtual BOOL SetStringValue(const wchar_t* name, const std::wstring& value);
    virtual BOOL QueryDWORDValue(const wchar_t* name, DWORD& value);
    virtual BOOL SetDWORDValue(const wchar_t* name, DWORD value);
    virtual BOOL DeleteValue(const wchar_t* name);
    virtual DWORD GetLastError() const;

private:
    qkRegistry m_key;
};

} // namespace vek
