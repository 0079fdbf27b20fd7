#pragma once
// Decides once, at start-up, in which languages the user interface looks for its resources, and
// then serves every string and custom resource (PNG, GIF) of the executable in the first
// language of that order that has it; what no preferred language holds comes from the module's
// own choice (the language-neutral table holds every id).
//
// Search order: the user's UI language, then the system default UI language, then English
// (United States), each only when it is in the supported table, without duplicates. A language
// of the table without a string table of its own (Danish, for instance) simply finds nothing and
// the next one is tried; a language outside the table (Swiss German 0x0807) never enters.
// An empty string entry counts as missing in that language.
#include "common/base/qkCriticalSection.h"

#include <windows.h>

#include <string>
#include <vector>

class CVekResourceLoader {
public:
    struct Language {
        const wchar_t* name; // as stored: "de-de", also "jp-jp" and "ko-ko"
        LANGID id;
    };

    // The process-wide loader, built before the program entry runs.
    static CVekResourceLoader& Instance();

    // Reads the system default and the user's UI language and builds the preferred list; only
    // the first call acts.
    void Initialize();
    // The same with the two languages given (the start-up's reading, or a test's).
    void Initialize(LANGID systemLanguage, LANGID userLanguage);
    // Moves a supported language to the front of the preferred list; others are ignored.
    void AddPreferredLanguage(LANGID language);

    // Non-zero and `text` replaced when found; 0 and `text` untouched otherwise.
    BOOL LoadString(std::wstring& text, UINT id);
    // LoadString; on failure logs and, when a fallback is given, sets the text to it.
    BOOL LoadStringEx(std::wstring& text, UINT id, const wchar_t* fallback);
    // Convenience: the string, or the fallback (empty when none).
    std::wstring GetString(UINT id, const wchar_t* fallback = nullptr);
    // The resource of the first preferred language that has it, else the module's choice.
    HRSRC FindResource(const wchar_t* name, const wchar_t* type);
    HRSRC FindResource(const wchar_t* name, const wchar_t* type, HMODULE module);

    // The module whose resources are served (the executable unless set).
    HMODULE GetModule() const { return m_module; }
    void SetModule(HMODULE module) { m_module = module; }

    // The string in exactly this language's table (no fall-back); true when present and non-empty.
    bool LoadStringInLanguage(std::wstring& text, UINT id, LANGID language);

    std::vector<LANGID> GetPreferredLanguages();
    static const Language* FindLanguage(LANGID id);
    static const Language* FindLanguage(const wchar_t* name);

    CVekResourceLoader();
    CVekResourceLoader(const CVekResourceLoader&) = delete;
    CVekResourceLoader& operator=(const CVekResourceLoader&) = delete;

private:
    // The entry of a string block in one language, or in the module's choice; true when non-empty.
    bool LoadStringIn(std::wstring& text, UINT id, LANGID language, bool anyLanguage);
    void AddPreferredLanguageLocked(LANGID language);

    qkCriticalSection m_lock;
    std::vector<LANGID> m_preferred; // front first
    bool m_initialized = false;
    HMODULE m_module;
};

namespace vek {

// The windows' one text loader: the string in the first preferred language that has it, else
// the fallback (empty when none).
std::wstring LoadText(UINT id, const wchar_t* fallback = nullptr);

} // namespace vek
