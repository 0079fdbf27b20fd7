#pragma once
// Helpers shared by the settings store tests: a private temporary folder per test and the
// file contents read or written whole.
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "settings/store/CountedString.h"

namespace settingstest {

using Bytes = std::vector<unsigned char>;

// A fresh folder under the temporary folder, removed with its contents when destroyed.
class TempDir {
public:
    TempDir();
    ~TempDir();
    std::wstring Path(const wchar_t* name) const;

private:
    std::filesystem::path m_dir;
};

Bytes ReadAll(const std::wstring& path);
void WriteAll(const std::wstring& path, const Bytes& bytes);
bool Exists(const std::wstring& path);

// Keeps the text alive with its counted form.
struct Name {
    explicit Name(std::wstring t);
    std::wstring text;
    qkSettings::CountedString cs;
    operator const qkSettings::CountedString&() const { return cs; }
};

} // namespace settingstest
