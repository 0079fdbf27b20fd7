#pragma once
// Which user-interface language to use: the one configured for the library in the current
// user's registry (below the silo registry path), else the user's, else the system's.
#include <windows.h>

class qkTalLanguageInfoBase {
public:
    // The configured language id, or 0.
    static LANGID GetConfiguredUILanguage();
    static LANGID GetUILanguage();
};
