#pragma once
// Helpers shared by the settings store tests: a private temporary folder per test and the
// file contents read or written whole.
#include <windows.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "settings/objects/CValueTable.h"
#include "settings/objects/qkSettingsPath.h"
#include "settings/store/CountedString.h"
#include "settings/store/qkSettingsResult.h"
#include "tests/support/TestRandom.h"

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

// The text as a counted string; a failure to make it fails the test.
inline qkSettings::CountedString Cs(const wchar_t* text)
{
    qkSettings::CountedString s;
    EXPECT_EQ(S_OK, qkSettings::MakeCountedString(text, s));
    return s;
}

// A section path in the store's normal form, usable where a counted string is asked for.
struct SectionPath {
    explicit SectionPath(const wchar_t* p)
    {
        EXPECT_EQ(qkSettings::status::kSuccess, qkSettings::NormalizePath(p, buffer));
        view = qkSettings::PathView(buffer);
    }
    qkSettings::CStringBuffer buffer;
    qkSettings::CountedString view;
    operator const qkSettings::CountedString&() const { return view; }
};

// A value table holding one DWORD value.
inline qkSettings::CValueTable Dword(const wchar_t* name, DWORD v)
{
    qkSettings::CValueTable t;
    qkSettings::CountedString n;
    qkSettings::MakeCountedString(name, n);
    EXPECT_EQ(qkSettings::status::kSuccess, t.Set(qkSettings::storetype::kDword, n, &v, 4));
    return t;
}

using testrandom::Lcg;

} // namespace settingstest
