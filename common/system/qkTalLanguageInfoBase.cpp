#include "common/system/qkTalLanguageInfoBase.h"

#include "common/base/qkExceptionInfo.h"
#include "common/system/CIsolation.h"
#include "common/system/qkRegistry.h"

#include <cstdio>
#include <string>

LANGID qkTalLanguageInfoBase::GetConfiguredUILanguage()
{
    qkExceptionInfo info;
    try {
        const wchar_t* siloPath = CIsolation::GetSiloRegistryPath();
        if (siloPath == nullptr || siloPath[0] == L'\0')
            return 0;
        const std::wstring path = std::wstring(siloPath) + L"\\ResourceConfig";
        qkRegistry key;
        if (!key.Open(HKEY_CURRENT_USER, path.c_str(), KEY_READ | CIsolation::GetRegistryViewFlags()))
            return 0;
        wchar_t text[130] = {};
        DWORD size = sizeof(text);
        if (!key.QueryStringBuffer(L"Current UI Language", text, &size))
            return 0;
        text[129] = L'\0';
        unsigned int language = 0;
        if (std::swscanf(text, L"%x", &language) != 1)
            return 0;
        return static_cast<LANGID>(language & 0xFFFF);
    }
    QK_CATCH(info)
    return 0;
}

LANGID qkTalLanguageInfoBase::GetUILanguage()
{
    LANGID language = GetConfiguredUILanguage();
    if (language == 0)
        language = ::GetUserDefaultUILanguage();
    if (language == 0)
        language = ::GetSystemDefaultUILanguage();
    return language;
}
