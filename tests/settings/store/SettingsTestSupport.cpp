#include "SettingsTestSupport.h"

#include <atomic>

#include "common/system/qkHandle.h"
#include <fstream>
#include <iterator>

namespace settingstest {

TempDir::TempDir()
{
    static std::atomic<int> counter{0};
    m_dir = std::filesystem::temp_directory_path() /
            (L"vek-settings-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(counter++));
    std::filesystem::remove_all(m_dir);
    std::filesystem::create_directories(m_dir);
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

std::wstring TempDir::Path(const wchar_t* name) const
{
    return (m_dir / name).wstring();
}

Bytes ReadAll(const std::wstring& path)
{
    // Full sharing: the store may hold the file open with delete access.
    qkHandle h(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.IsValid())
        return {};
    Bytes out;
    unsigned char chunk[8192];
    DWORD got = 0;
    while (::ReadFile(h.Get(), chunk, sizeof(chunk), &got, nullptr) && got > 0)
        out.insert(out.end(), chunk, chunk + got);
    return out;
}

void WriteAll(const std::wstring& path, const Bytes& bytes)
{
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool Exists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

Name::Name(std::wstring t) : text(std::move(t))
{
    qkSettings::MakeCountedString(text.c_str(), cs);
}

} // namespace settingstest
