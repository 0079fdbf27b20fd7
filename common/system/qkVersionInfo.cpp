#include "common/system/qkVersionInfo.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkMemory.h"
#include "common/base/qkStringConvert.h"
#include "common/base/qkTrace.h"
#include "common/system/qkSplitPath.h"

#include <cstring>
#include <cwchar>

namespace {

const wchar_t* const kNames[qkVersionInfo::kStringCount] = {
    L"Comments",        L"CompanyName",      L"FileDescription", L"FileVersion",    L"InternalName", L"LegalCopyright",
    L"LegalTrademarks", L"OriginalFilename", L"ProductName",     L"ProductVersion", L"PrivateBuild", L"SpecialBuild",
};

} // namespace

qkVersionInfo::qkVersionInfo()
{
    Clear();
}

void qkVersionInfo::Clear()
{
    std::memset(&m_fixedInfo, 0, sizeof(m_fixedInfo));
    for (int i = 0; i < kStringCount; ++i) {
        m_strings[i].name = kNames[i];
        m_strings[i].value.clear();
    }
}

const std::wstring* qkVersionInfo::Find(const wchar_t* name) const
{
    for (const StringEntry& entry : m_strings) {
        if (name != nullptr && std::wcscmp(entry.name, name) == 0)
            return &entry.value;
    }
    return nullptr;
}

BOOL qkVersionInfo::Load(const wchar_t* path)
{
    Clear();
    qkSplitPath split;
    if (!split.Split(path))
        return FALSE;
    const std::wstring& file = split.GetPath();
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(file.c_str(), &handle);
    if (size == 0) {
        QK_TRACE(L"no version resource in %s : %lu", file.c_str(), ::GetLastError());
        return FALSE;
    }
    qkMemory buffer;
    void* data = buffer.NewAlloc(size);
    if (data == nullptr || !::GetFileVersionInfoW(file.c_str(), 0, size, data)) {
        QK_TRACE(L"GetFileVersionInfoW %s : %lu", file.c_str(), ::GetLastError());
        return FALSE;
    }
    void* fixed = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(data, L"\\", &fixed, &length) || length != sizeof(VS_FIXEDFILEINFO)) {
        QK_TRACE(L"no fixed version record in %s", file.c_str());
        return FALSE;
    }
    std::memcpy(&m_fixedInfo, fixed, sizeof(m_fixedInfo));

    void* translation = nullptr;
    if (!::VerQueryValueW(data, L"\\VarFileInfo\\Translation", &translation, &length)) {
        QK_TRACE(L"no translation table in %s", file.c_str());
        return FALSE;
    }
    if (length >= 2 * sizeof(WORD)) {
        const WORD* pair = static_cast<const WORD*>(translation);
        for (StringEntry& entry : m_strings) {
            if (!QueryString(pair[0], pair[1], entry.name, data, entry.value))
                QK_TRACE(L"no %s in %s", entry.name, file.c_str());
        }
    }
    return TRUE;
}

BOOL qkVersionInfo::QueryString(WORD language, WORD codePage, const wchar_t* name, const void* versionData,
                                std::wstring& value)
{
    qkExceptionInfo info;
    try {
        value.clear();
        std::wstring block;
        if (!qkStringConvert::Format(block, L"\\StringFileInfo\\%04x%04x\\%s", language, codePage, name))
            return FALSE;
        void* text = nullptr;
        UINT length = 0;
        if (!::VerQueryValueW(versionData, block.c_str(), &text, &length) || length == 0)
            return FALSE;
        value = static_cast<const wchar_t*>(text);
        return TRUE;
    }
    QK_CATCH(info)
    return FALSE;
}
