#pragma once
// A folder of the test's own under the temporary folder, removed with everything in it; and
// whole-file byte reads and writes.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace midtest {

class TempFolder {
public:
    TempFolder()
    {
        wchar_t base[MAX_PATH];
        ::GetTempPathW(MAX_PATH, base);
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::wstring name = L"quvtest-" + std::to_wstring(::GetCurrentProcessId()) + L"-";
        if (info)
            for (const char* c = info->name(); *c; ++c)
                name += (isalnum(static_cast<unsigned char>(*c)) ? static_cast<wchar_t>(*c) : L'_');
        name += L"-" + std::to_wstring(++s_counter);
        m_path = std::wstring(base) + name;
        std::filesystem::remove_all(m_path);
        std::filesystem::create_directories(m_path);
    }
    ~TempFolder()
    {
        std::error_code ignored;
        // The stamp folder's access list is restrictive: give the files back first.
        for (auto& entry : std::filesystem::recursive_directory_iterator(m_path, ignored))
            ::SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
        std::filesystem::remove_all(m_path, ignored);
    }
    const std::wstring& Path() const { return m_path; }
    std::wstring File(const wchar_t* name) const { return m_path + L"\\" + name; }

private:
    static inline int s_counter = 0;
    std::wstring m_path;
};

inline std::string ReadBytes(const std::wstring& path)
{
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// UTF-16LE bytes of an ASCII text.
inline std::string Utf16LE(const std::string& text)
{
    std::string bytes;
    for (char c : text) {
        bytes += c;
        bytes += '\0';
    }
    return bytes;
}

inline std::string Utf16BE(const std::string& text)
{
    std::string bytes;
    for (char c : text) {
        bytes += '\0';
        bytes += c;
    }
    return bytes;
}

} // namespace midtest
