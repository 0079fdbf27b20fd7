#include "DiagTestSupport.h"

#include <filesystem>
#include <fstream>

namespace diagtest {

TempFolder::TempFolder(const wchar_t* tag)
{
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    static LONG counter = 0;
    m_path = std::wstring(base) + L"vek_" + tag + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
             std::to_wstring(InterlockedIncrement(&counter));
    std::filesystem::create_directories(m_path);
}

TempFolder::~TempFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::vector<BYTE> ReadAll(const std::wstring& path)
{
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::vector<BYTE>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool WriteAll(const std::wstring& path, const std::vector<BYTE>& bytes)
{
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::filesystem::path(path).parent_path().wstring();
}

} // namespace diagtest
