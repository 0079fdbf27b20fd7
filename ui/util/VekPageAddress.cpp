#include "ui/util/VekPageAddress.h"

#include "ui/resources/CVekResourceLoader.h"

namespace vek {

std::wstring AddPageLanguageParameters(const std::wstring& address)
{
    if (address.empty())
        return address;
    std::wstring result = address;
    if (result.find(L'?') == std::wstring::npos)
        result += L'?';
    result += result.back() == L'?' ? L"lg=" : L"&lg=";
    std::wstring language, country;
    CVekResourceLoader& loader = CVekResourceLoader::Instance();
    if (!loader.LoadString(language, 171))
        language = L"english";
    if (!loader.LoadString(country, 177))
        country = L"united states";
    return result + language + L"&ct=" + country;
}

} // namespace vek
