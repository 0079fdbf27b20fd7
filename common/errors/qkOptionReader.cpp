#include "common/errors/qkOptionReader.h"

#include "common/base/qkStringConvert.h"
#include "common/base/qkTrace.h"
#include "common/system/CIsolation.h"

#include <new>

bool qkOptionReader::SiloKeyPath(const wchar_t* subKey, std::wstring& path)
{
    const wchar_t* silo = CIsolation::GetSiloRegistryPath();
    if (silo == nullptr) {
        QK_TRACE(L"no silo registry path for %s", subKey);
        return false;
    }
    return qkStringConvert::Format(path, L"%s\\%s", silo, subKey) != FALSE;
}

void qkOptionReader::ReadString(qkRegistry& key, const wchar_t* name, std::wstring& field)
{
    std::wstring value;
    if (key.QueryStringValue(name, value)) {
        field.swap(value);
    } else if (key.GetLastError() == ERROR_OUTOFMEMORY) {
        throw std::bad_alloc();
    }
}
