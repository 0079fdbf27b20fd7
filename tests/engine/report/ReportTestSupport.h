#pragma once
// Helpers of the reporter tests: query strings split into decoded parameters, a temporary
// folder for the URL file, and a reporter set up with fixed machine facts.
#include "engine/report/VekDataReporter.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace reporttest {

using json = nlohmann::json;

inline std::string Narrow(const std::wstring& s)
{
    std::string out;
    for (wchar_t c : s)
        out.push_back(static_cast<char>(c));
    return out;
}

inline std::string Decode(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// The parameters of a query ("?a=1&b=2" or "a=1&b=2") in order, values decoded.
inline std::vector<std::pair<std::string, std::string>> Params(std::string query)
{
    if (!query.empty() && query[0] == '?')
        query.erase(0, 1);
    std::vector<std::pair<std::string, std::string>> params;
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos)
            end = query.size();
        const std::string part = query.substr(start, end - start);
        const size_t eq = part.find('=');
        params.emplace_back(part.substr(0, eq), eq == std::string::npos ? "" : Decode(part.substr(eq + 1)));
        start = end + 1;
    }
    return params;
}

inline std::string Param(const std::string& query, const std::string& name)
{
    for (const auto& [key, value] : Params(query))
        if (key == name)
            return value;
    return "<absent>";
}

class TempFolder {
public:
    TempFolder()
    {
        wchar_t base[MAX_PATH];
        ::GetTempPathW(MAX_PATH, base);
        static int counter = 0;
        m_path = std::wstring(base) + L"reporttest-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                 std::to_wstring(++counter);
        std::filesystem::create_directories(m_path);
    }
    ~TempFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_path;
};

inline std::string ReadFile(const std::wstring& path)
{
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Fixed machine identifier, language 0x0409, time, no "noui" switch, URL file in the folder.
template <typename Reporter>
void FixFacts(Reporter& reporter, const std::wstring& urlFolder)
{
    reporter.machineIdSource = [](std::wstring& id) {
        id = L"AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE";
        return S_OK;
    };
    reporter.selectSilo = [] { return S_OK; };
    reporter.urlFileFolder = [urlFolder] { return urlFolder; };
    reporter.languageId = [] { return static_cast<LANGID>(0x0409); };
    reporter.unixTime = [] { return static_cast<DWORD>(0x12345678); };
    reporter.hasNoUiSwitch = [] { return false; };
}

} // namespace reporttest
