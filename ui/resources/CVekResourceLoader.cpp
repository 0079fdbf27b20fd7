#include "ui/resources/CVekResourceLoader.h"

#include "common/base/qkScopedLock.h"
#include "common/errors/qkLog.h"
#include "common/system/qkTalLanguageInfoBase.h"

#include <iterator>

namespace {

// The only languages that may enter the preferred list, in the order the table is filled.
const CVekResourceLoader::Language kSupported[] = {
    {L"ar-sa", 0x0401}, {L"pt-br", 0x0416}, {L"zh-tw", 0x0404}, {L"zh-cn", 0x0804}, {L"cs-cz", 0x0405},
    {L"da-dk", 0x0406}, {L"de-de", 0x0407}, {L"el-gr", 0x0408}, {L"en-us", 0x0409}, {L"es-es", 0x0C0A},
    {L"fi-fi", 0x040B}, {L"fr-fr", 0x040C}, {L"he-il", 0x040D}, {L"hu-hu", 0x040E}, {L"it-it", 0x0410},
    {L"jp-jp", 0x0411}, {L"ko-ko", 0x0412}, {L"nl-nl", 0x0413}, {L"nb-no", 0x0414}, {L"pl-pl", 0x0415},
    {L"pt-pt", 0x0816}, {L"ro-ro", 0x0418}, {L"ru-ru", 0x0419}, {L"sk-sk", 0x041B}, {L"sv-se", 0x041D},
    {L"tr-tr", 0x041F},
};

const LANGID kEnglishUs = 0x0409;

struct LanguageSearch {
    WORD wanted;
    bool found;
};

BOOL CALLBACK MatchLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param)
{
    auto* search = reinterpret_cast<LanguageSearch*>(param);
    search->found = search->found || language == search->wanted;
    return !search->found;
}

// The resource in exactly this language. FindResourceExW alone would answer with the neutral
// or another sub-language's copy, and the next preferred language would never be tried.
HRSRC FindExact(HMODULE module, const wchar_t* type, const wchar_t* name, LANGID language)
{
    LanguageSearch search = {language, false};
    ::EnumResourceLanguagesW(module, type, name, MatchLanguage, reinterpret_cast<LONG_PTR>(&search));
    return search.found ? ::FindResourceExW(module, type, name, language) : nullptr;
}

} // namespace

CVekResourceLoader& CVekResourceLoader::Instance()
{
    static CVekResourceLoader loader;
    return loader;
}

CVekResourceLoader::CVekResourceLoader() : m_module(::GetModuleHandleW(nullptr)) {}

// Built before the program entry, as the process-wide object should be.
static CVekResourceLoader& g_ResourceLoader = CVekResourceLoader::Instance();

void CVekResourceLoader::Initialize()
{
    const LANGID systemLanguage = ::GetSystemDefaultUILanguage();
    const LANGID userLanguage = qkTalLanguageInfoBase::GetUILanguage();
    Initialize(systemLanguage, userLanguage);
}

void CVekResourceLoader::Initialize(LANGID systemLanguage, LANGID userLanguage)
{
    qkScopedLock lock(m_lock);
    if (m_initialized)
        return;
    AddPreferredLanguageLocked(kEnglishUs);
    QK_LOG_INFO(L"System default language is %x", systemLanguage);
    AddPreferredLanguageLocked(systemLanguage);
    QK_LOG_INFO(L"User preferred language is %x", userLanguage);
    AddPreferredLanguageLocked(userLanguage);
    m_initialized = true;
}

void CVekResourceLoader::AddPreferredLanguage(LANGID language)
{
    qkScopedLock lock(m_lock);
    AddPreferredLanguageLocked(language);
}

void CVekResourceLoader::AddPreferredLanguageLocked(LANGID language)
{
    if (FindLanguage(language) == nullptr)
        return;
    std::erase(m_preferred, language);
    m_preferred.insert(m_preferred.begin(), language);
}

std::vector<LANGID> CVekResourceLoader::GetPreferredLanguages()
{
    qkScopedLock lock(m_lock);
    return m_preferred;
}

const CVekResourceLoader::Language* CVekResourceLoader::FindLanguage(LANGID id)
{
    for (const Language& language : kSupported)
        if (language.id == id)
            return &language;
    return nullptr;
}

const CVekResourceLoader::Language* CVekResourceLoader::FindLanguage(const wchar_t* name)
{
    if (name == nullptr)
        return nullptr;
    for (const Language& language : kSupported)
        if (::lstrcmpiW(language.name, name) == 0)
            return &language;
    return nullptr;
}

bool CVekResourceLoader::LoadStringIn(std::wstring& text, UINT id, LANGID language, bool anyLanguage)
{
    // Strings are stored in blocks of 16; block n holds ids (n - 1) * 16 to n * 16 - 1, each
    // entry a 16-bit length followed by that many characters.
    const wchar_t* block = MAKEINTRESOURCEW(id / 16 + 1);
    HRSRC resource =
        anyLanguage ? ::FindResourceW(m_module, block, RT_STRING) : FindExact(m_module, RT_STRING, block, language);
    if (resource == nullptr)
        return false;
    HGLOBAL loaded = ::LoadResource(m_module, resource);
    const auto* entry = static_cast<const WCHAR*>(loaded ? ::LockResource(loaded) : nullptr);
    const DWORD size = ::SizeofResource(m_module, resource);
    if (entry == nullptr)
        return false;
    const WCHAR* end = entry + size / sizeof(WCHAR);
    for (UINT i = 0; i < id % 16; ++i) {
        if (entry >= end)
            return false;
        entry += 1 + *entry;
    }
    if (entry >= end || *entry == 0 || entry + 1 + *entry > end)
        return false;
    text.assign(entry + 1, *entry);
    return true;
}

bool CVekResourceLoader::LoadStringInLanguage(std::wstring& text, UINT id, LANGID language)
{
    qkScopedLock lock(m_lock);
    return LoadStringIn(text, id, language, false);
}

BOOL CVekResourceLoader::LoadString(std::wstring& text, UINT id)
{
    qkScopedLock lock(m_lock);
    for (LANGID language : m_preferred)
        if (LoadStringIn(text, id, language, false))
            return TRUE;
    return LoadStringIn(text, id, 0, true) ? TRUE : FALSE;
}

BOOL CVekResourceLoader::LoadStringEx(std::wstring& text, UINT id, const wchar_t* fallback)
{
    qkScopedLock lock(m_lock);
    if (LoadString(text, id))
        return TRUE;
    QK_LOG_ERROR(L"Unable to load string %d from resources: last err=%d", id, ::GetLastError());
    if (fallback != nullptr)
        text = fallback;
    return FALSE;
}

std::wstring CVekResourceLoader::GetString(UINT id, const wchar_t* fallback)
{
    std::wstring text;
    LoadStringEx(text, id, fallback);
    return text;
}

HRSRC CVekResourceLoader::FindResource(const wchar_t* name, const wchar_t* type)
{
    return FindResource(name, type, m_module);
}

HRSRC CVekResourceLoader::FindResource(const wchar_t* name, const wchar_t* type, HMODULE module)
{
    qkScopedLock lock(m_lock);
    for (LANGID language : m_preferred)
        if (HRSRC resource = FindExact(module, type, name, language))
            return resource;
    return ::FindResourceW(module, name, type);
}

std::wstring vek::LoadText(UINT id, const wchar_t* fallback)
{
    return CVekResourceLoader::Instance().GetString(id, fallback);
}
