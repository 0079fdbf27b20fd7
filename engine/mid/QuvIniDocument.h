#pragma once
// A line-preserving INI document. It loads a text file in ANSI, UTF-8, UTF-16LE or UTF-16BE
// (chosen by the byte-order mark), answers and changes "key=value" entries by section, and
// writes the file back with its encoding, mark and dominant line ending: every line it does not
// change is written back exactly as read, so other components may keep sections of their own.
// Section names and keys compare without regard to letter case.
#include <windows.h>

#include <list>
#include <string>

class QuvIniDocument {
public:
    enum class Encoding { None, Utf8, Utf16LE, Utf16BE };

    // One line with its own line ending (empty for a last line without one) and the slices the
    // parser found in it.
    struct QuvIniLine {
        std::wstring text;
        bool isSection = false;
        bool isEntry = false;
        size_t sectionPos = 0, sectionLen = 0;
        size_t keyPos = 0, keyLen = 0;
        size_t valuePos = 0, valueLen = 0;
        size_t endingPos = 0; // start of the line ending (== text.size() without one)

        explicit QuvIniLine(std::wstring lineText) : text(std::move(lineText)) { Parse(); }
        void Parse();
        bool HasEnding() const { return endingPos < text.size(); }
    };

    // Clears the document and reads the file. A missing file gives 0x80070002 (callers treat it
    // as an empty file); on any failure the document is left empty.
    HRESULT Load(const wchar_t* path);
    // Parses text already decoded (the document's encoding stays as set). A parser of the
    // identifier's INI text, not a string-table lookup like the windows' vek::LoadText.
    HRESULT LoadText(const std::wstring& text);
    // Writes the document to a temporary file beside the target and moves it over the target, so
    // that an interrupted save leaves the old file whole.
    HRESULT Save(const wchar_t* path) const;

    // The value, or null (success either way); quotes around a value are dropped.
    HRESULT GetValue(const wchar_t* section, const wchar_t* key, std::wstring& value, bool& found) const;
    HRESULT SetValue(const wchar_t* section, const wchar_t* key, const wchar_t* value);
    void Clear();

    Encoding GetEncoding() const { return m_encoding; }
    void SetEncoding(Encoding encoding) { m_encoding = encoding; }
    const std::wstring& GetLineEnding() const { return m_lineEnding; }
    // The whole decoded text, as it would be written (without mark).
    std::wstring GetText() const;
    // The bytes that Save writes.
    HRESULT Encode(std::string& bytes) const;

private:
    using Lines = std::list<QuvIniLine>;
    // Finds the entry; also the last line inside the last matching section (end() when none).
    Lines::iterator FindEntry(const wchar_t* section, const wchar_t* key, Lines::iterator* lastInSection);
    Lines::iterator InsertAfter(Lines::iterator position, std::wstring text);

    Lines m_lines;
    Encoding m_encoding = Encoding::None;
    std::wstring m_lineEnding = L"\r\n";
};

// Splits a "|"-separated list into its first token and the rest (further "|" stay in the rest);
// both trimmed of spaces and tabs. A null list gives two empty texts.
void QuvSplitFirst(const wchar_t* list, std::wstring& first, std::wstring& rest);

// Trims leading and trailing spaces and tabs.
std::wstring QuvTrimBlanks(const std::wstring& text);
