#include "common/system/qkRegistry.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkMemory.h"
#include "common/base/qkTrace.h"
#include "common/system/qkOSInfo.h"
#include "common/system/qkResourceHolders.h"

#include <shlwapi.h>

namespace {

using RegDeleteKeyExFn = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);

// Looked up once per process; racing first uses store the same answer.
RegDeleteKeyExFn DeleteKeyExEntry()
{
    static volatile LONG looked;
    static RegDeleteKeyExFn entry;
    if (!::InterlockedCompareExchange(&looked, 0, 0)) {
        HMODULE advapi = ::GetModuleHandleW(L"Advapi32.dll");
        RegDeleteKeyExFn found = nullptr;
        if (advapi != nullptr)
            found = reinterpret_cast<RegDeleteKeyExFn>(
                reinterpret_cast<void*>(::GetProcAddress(advapi, "RegDeleteKeyExW")));
        entry = found;
        ::InterlockedExchange(&looked, 1);
    }
    return entry;
}

LONG DeleteKeyInView(HKEY parent, const wchar_t* subkey, REGSAM view)
{
    RegDeleteKeyExFn deleteKeyEx = DeleteKeyExEntry();
    if (deleteKeyEx == nullptr) {
        const RTL_OSVERSIONINFOEXW& v = qkOSInfo::GetVersionInfo();
        QK_TRACE(L"no RegDeleteKeyExW on %lu.%lu.%lu", v.dwMajorVersion, v.dwMinorVersion, v.dwBuildNumber);
        return ERROR_NOT_SUPPORTED;
    }
    return deleteKeyEx(parent, subkey, view, 0);
}

// Depth first: every child is deleted by the same procedure, so the view travels down the tree.
LONG DeleteTree(HKEY parent, const wchar_t* subkey, REGSAM view)
{
    qkRegKey key;
    LONG status = ::RegOpenKeyExW(parent, subkey, 0, view | KEY_READ | KEY_WRITE, key.Receive());
    if (status != ERROR_SUCCESS) {
        if (status != ERROR_FILE_NOT_FOUND && status != ERROR_PATH_NOT_FOUND)
            QK_TRACE(L"cannot open %s : %ld", subkey, status);
        return status;
    }
    for (;;) {
        wchar_t name[256];
        DWORD length = 256;
        status = ::RegEnumKeyExW(key.Get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS)
            break;
        status = DeleteTree(key.Get(), name, view);
        if (status != ERROR_SUCCESS)
            return status;
    }
    key.Reset();
    return DeleteKeyInView(parent, subkey, view);
}

bool IsStringType(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ;
}

} // namespace

qkRegistry::qkRegistry(HKEY key, REGSAM access) : m_key(key), m_viewFlags(GetViewFlags(access)), m_lastError(0) {}

qkRegistry::~qkRegistry()
{
    Close();
}

BOOL qkRegistry::Result(LONG status)
{
    m_lastError = static_cast<DWORD>(status);
    return status == ERROR_SUCCESS;
}

REGSAM qkRegistry::GetViewFlags(REGSAM access)
{
    REGSAM view = access & (KEY_WOW64_64KEY | KEY_WOW64_32KEY);
    if (view == (KEY_WOW64_64KEY | KEY_WOW64_32KEY))
        QK_TRACE(L"both registry views requested : 0x%08lX", static_cast<unsigned long>(access));
    return view;
}

BOOL qkRegistry::Open(HKEY parent, const wchar_t* subkey, REGSAM access, BOOL createIfMissing, DWORD options)
{
    Close();
    HKEY key = nullptr;
    LONG status = ::RegOpenKeyExW(parent, subkey, 0, access, &key);
    if (status == ERROR_SUCCESS) {
        m_key = key;
        m_viewFlags = GetViewFlags(access);
        return Result(status);
    }
    if (createIfMissing) {
        Create(parent, subkey, access, options);
        return IsOpen();
    }
    if (status != ERROR_FILE_NOT_FOUND)
        QK_TRACE(L"RegOpenKeyExW %s : %ld", subkey ? subkey : L"", status);
    return Result(status);
}

BOOL qkRegistry::OpenKey(HKEY parent, const wchar_t* subkey, REGSAM access, BOOL createIfMissing)
{
    return Open(parent, subkey, access, createIfMissing, 0);
}

BOOL qkRegistry::Create(HKEY parent, const wchar_t* subkey, REGSAM access, DWORD options)
{
    if (subkey == nullptr) {
        QK_TRACE(L"no subkey name");
        return Result(ERROR_INVALID_PARAMETER);
    }
    Close();
    const REGSAM view = GetViewFlags(access);

    if ((options & REG_OPTION_VOLATILE) && qkOSInfo::IsWindowsVista(TRUE)) {
        // An existing key keeps its kind: find out whether it is volatile already.
        qkRegKey existing;
        if (::RegOpenKeyExW(parent, subkey, 0, view | KEY_CREATE_SUB_KEY, existing.Receive()) == ERROR_SUCCESS) {
            qkRegKey probe;
            LONG status = ::RegCreateKeyExW(existing.Get(), L"__volatile_test", 0, nullptr, 0, view, nullptr,
                                            probe.Receive(), nullptr);
            existing.Reset();
            if (status == ERROR_SUCCESS) {
                // Not volatile: the old tree goes, and a volatile key takes its place.
                probe.Reset();
                qkRegistry parentWrapper(parent, view);
                BOOL deleted = parentWrapper.DeleteKeyTree(subkey);
                DWORD error = parentWrapper.GetLastError();
                parentWrapper.Detach(); // the parent stays open
                if (!deleted) {
                    QK_TRACE(L"cannot replace non-volatile %s : %lu", subkey, error);
                    return Result(static_cast<LONG>(error));
                }
            } else if (status != ERROR_CHILD_MUST_BE_VOLATILE) {
                QK_TRACE(L"volatile probe under %s : %ld", subkey, status);
                return Result(status);
            }
        }
    }

    HKEY key = nullptr;
    LONG status = ::RegCreateKeyExW(parent, subkey, 0, nullptr, options, access, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        QK_TRACE(L"RegCreateKeyExW %s : %ld", subkey, status);
        return Result(status);
    }
    m_key = key;
    m_viewFlags = view;
    return Result(status);
}

BOOL qkRegistry::CreateKey(HKEY parent, const wchar_t* subkey, REGSAM access, DWORD options)
{
    return Create(parent, subkey, access, options);
}

BOOL qkRegistry::Close()
{
    if (m_key != nullptr) {
        m_lastError = static_cast<DWORD>(::RegCloseKey(m_key));
        m_key = nullptr;
    }
    m_viewFlags = 0;
    return m_lastError == ERROR_SUCCESS;
}

BOOL qkRegistry::QueryValue(const wchar_t* name, void* data, DWORD* sizeBytes)
{
    return Result(::RegQueryValueExW(m_key, name, nullptr, nullptr, static_cast<BYTE*>(data), sizeBytes));
}

BOOL qkRegistry::QueryDWORDValue(const wchar_t* name, DWORD& value)
{
    DWORD type = 0;
    DWORD size = sizeof(DWORD);
    LONG status = ::RegQueryValueExW(m_key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (status == ERROR_SUCCESS && type != REG_DWORD)
        status = ERROR_INVALID_DATA;
    return Result(status);
}

BOOL qkRegistry::GetDWORDValue(const wchar_t* name, DWORD& value)
{
    DWORD local = 0;
    if (!QueryDWORDValue(name, local))
        return FALSE;
    value = local;
    return TRUE;
}

BOOL qkRegistry::QueryStringValue(const wchar_t* name, std::wstring& value)
{
    qkExceptionInfo info;
    try {
        DWORD type = 0;
        DWORD size = 0;
        LONG status = ::RegQueryValueExW(m_key, name, nullptr, &type, nullptr, &size);
        if (status != ERROR_SUCCESS)
            return Result(status);
        if (!IsStringType(type) || (size % 2) != 0)
            return Result(ERROR_INVALID_DATA);
        // Two bytes more than the value, so that a value stored without a NUL ends in one.
        value.assign(size / 2 + 1, L'\0');
        status = ::RegQueryValueExW(m_key, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &size);
        if (status != ERROR_SUCCESS) {
            value.clear();
            return Result(status);
        }
        value.resize(std::wcslen(value.c_str()));
        return Result(ERROR_SUCCESS);
    }
    QK_CATCH(info)
    return Result(ERROR_OUTOFMEMORY);
}

BOOL qkRegistry::QueryStringBuffer(const wchar_t* name, wchar_t* buffer, DWORD* sizeBytes)
{
    if (sizeBytes == nullptr || (buffer != nullptr && *sizeBytes == 0))
        return Result(ERROR_INVALID_PARAMETER);
    const DWORD given = *sizeBytes;
    DWORD type = 0;
    LONG status = ::RegQueryValueExW(m_key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), sizeBytes);
    if (status != ERROR_SUCCESS)
        return Result(status);
    if ((!IsStringType(type) && type != REG_MULTI_SZ) || (*sizeBytes % 2) != 0)
        return Result(ERROR_INVALID_DATA);
    if (buffer != nullptr) {
        if (*sizeBytes == 0) {
            // A value of no bytes reads as the empty text.
            if (given >= sizeof(wchar_t))
                buffer[0] = L'\0';
            else
                return Result(ERROR_MORE_DATA);
        } else if (buffer[*sizeBytes / 2 - 1] != L'\0') {
            return Result(ERROR_INVALID_DATA);
        }
    }
    return Result(ERROR_SUCCESS);
}

BOOL qkRegistry::QueryBinaryValue(const wchar_t* name, qkMemory& memory)
{
    memory.Free();
    DWORD type = 0;
    DWORD size = 0;
    LONG status = ::RegQueryValueExW(m_key, name, nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS)
        return Result(status);
    if (type != REG_BINARY)
        return Result(ERROR_INVALID_DATA);
    if (size == 0)
        return Result(ERROR_SUCCESS);
    void* data = memory.NewAlloc(size);
    if (data == nullptr)
        return Result(ERROR_OUTOFMEMORY);
    return QueryValue(name, data, &size);
}

BOOL qkRegistry::SetStringValue(const wchar_t* name, const wchar_t* text)
{
    if (text == nullptr)
        text = L"";
    const DWORD bytes = static_cast<DWORD>((std::wcslen(text) + 1) * sizeof(wchar_t));
    return Result(::RegSetValueExW(m_key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes));
}

BOOL qkRegistry::SetStringValue(const wchar_t* name, const std::wstring& text)
{
    return SetStringValue(name, text.c_str());
}

BOOL qkRegistry::SetDWORDValue(const wchar_t* name, DWORD value)
{
    return Result(::RegSetValueExW(m_key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)));
}

BOOL qkRegistry::DeleteValue(const wchar_t* name)
{
    return Result(::RegDeleteValueW(m_key, name));
}

LONG qkRegistry::EnumKey(DWORD index, wchar_t* name, DWORD* lengthChars)
{
    LONG status = ::RegEnumKeyExW(m_key, index, name, lengthChars, nullptr, nullptr, nullptr, nullptr);
    m_lastError = static_cast<DWORD>(status);
    return status;
}

LONG qkRegistry::EnumValue(DWORD index, wchar_t* name, DWORD* lengthChars)
{
    LONG status = ::RegEnumValueW(m_key, index, name, lengthChars, nullptr, nullptr, nullptr, nullptr);
    m_lastError = static_cast<DWORD>(status);
    return status;
}

BOOL qkRegistry::DeleteKeyTree(const wchar_t* subkey)
{
    if (subkey == nullptr)
        subkey = L"";
    if (qkOSInfo::IsWindowsXP(FALSE))
        return Result(static_cast<LONG>(::SHDeleteKeyW(m_key, subkey)));
    return Result(DeleteTree(m_key, subkey, m_viewFlags));
}

BOOL qkRegistry::DeleteEmptyKey(const wchar_t* subkey)
{
    if (subkey == nullptr)
        subkey = L"";
    if (qkOSInfo::IsWindowsXP(FALSE))
        return Result(static_cast<LONG>(::SHDeleteEmptyKeyW(m_key, subkey)));
    qkRegKey key;
    LONG status = ::RegOpenKeyExW(m_key, subkey, 0, m_viewFlags | KEY_QUERY_VALUE, key.Receive());
    if (status != ERROR_SUCCESS)
        return Result(status);
    DWORD subkeys = 0;
    DWORD values = 0;
    status = ::RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                                nullptr, nullptr, nullptr);
    key.Reset();
    if (status != ERROR_SUCCESS)
        return Result(status);
    if (subkeys != 0 || values != 0)
        return Result(ERROR_DIR_NOT_EMPTY);
    return Result(DeleteKeyInView(m_key, subkey, m_viewFlags));
}
