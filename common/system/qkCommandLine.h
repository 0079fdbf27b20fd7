#pragma once
// A command line as an ordered list of entries, each a switch (a token that begins with "/" or
// "-") or a plain argument. Blanks separate, double quotes group, nothing is escaped.
#include <windows.h>
#include <string>
#include <vector>

class qkCommandLine {
public:
    struct Entry {
        bool isSwitch = false;
        // Switch: the token without its switch character; quoted argument: without the quotes.
        std::wstring text;
        // The token exactly as tokenized.
        std::wstring token;
    };

    qkCommandLine() = default;
    virtual ~qkCommandLine() = default;

    // Replaces the entries; a null or empty line, an unclosed quote or a lone switch character
    // fails (the entries made before the failing token stay).
    BOOL Parse(const wchar_t* commandLine);
    // The process's own command line; the program's path becomes the first (plain) entry.
    BOOL ParseProcessCommandLine();
    // Appends the tokens of the line to the vector (which is not emptied first).
    static BOOL Tokenize(const wchar_t* commandLine, std::vector<std::wstring>& tokens);
    BOOL AddEntry(const wchar_t* switchChars, const std::wstring& token);

    // Switch names are compared without regard to case and without their switch character.
    BOOL HasSwitch(const wchar_t* name) const;
    // Appends the argument that follows each occurrence of the switch. An occurrence that is
    // last or followed by another switch fails the call.
    BOOL GetSwitchValues(const wchar_t* name, std::vector<std::wstring>& values) const;
    BOOL GetSwitchValuesClear(const wchar_t* name, std::vector<std::wstring>& values) const;
    // The argument that follows the first occurrence, or null. Valid until the next Parse.
    const wchar_t* GetSwitchValue(const wchar_t* name) const;

    const std::vector<Entry>& GetEntries() const { return m_entries; }

private:
    // Indexes of the values that follow each occurrence of the switch; false as GetSwitchValues.
    bool FindValues(const wchar_t* name, std::vector<size_t>& indexes) const;

    std::vector<Entry> m_entries;
};
