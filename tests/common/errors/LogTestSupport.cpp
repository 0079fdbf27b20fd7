#include "LogTestSupport.h"

#include "common/system/CIsolation.h"

#include <objbase.h>

#include <algorithm>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace logtest {

const std::wstring& SiloEnvironment::Root()
{
    static const std::wstring root = L"Software\\VekTest\\logopts_" + std::to_wstring(::GetCurrentProcessId());
    return root;
}

void SiloEnvironment::SetUp()
{
    GUID id;
    ASSERT_EQ(::CoCreateGuid(&id), S_OK);
    wchar_t text[40];
    ASSERT_GT(::StringFromGUID2(id, text, 40), 0);
    ASSERT_TRUE(CIsolation::SetSiloID(text));
    ASSERT_TRUE(CIsolation::SetSiloRegistryRoot(Root().c_str()));
    ASSERT_EQ(std::wstring(CIsolation::GetSiloRegistryPath()), Root() + L"\\" + text);
}

void SiloEnvironment::TearDown()
{
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, Root().c_str(), view, 0); // when already empty
        HKEY key = nullptr;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, Root().c_str(), 0, KEY_ALL_ACCESS | view, &key) == ERROR_SUCCESS) {
            ::RegDeleteTreeW(key, nullptr);
            ::RegCloseKey(key);
            ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, Root().c_str(), view, 0);
        }
    }
}

REGSAM OwnView()
{
    return sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
}

REGSAM OtherView()
{
    return sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
}

std::wstring DebugKeyPath()
{
    return std::wstring(CIsolation::GetSiloRegistryPath()) + L"\\Keel Core\\Debug";
}

void RemoveFixtures()
{
    const std::wstring path = std::wstring(CIsolation::GetSiloRegistryPath()) + L"\\Keel Core";
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        HKEY key = nullptr;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS | view, &key) == ERROR_SUCCESS) {
            ::RegDeleteTreeW(key, nullptr);
            ::RegCloseKey(key);
            ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), view, 0);
        }
    }
}

FixtureKey::FixtureKey(const std::wstring& path, REGSAM view)
{
    const LONG status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view,
                                          nullptr, &m_key, nullptr);
    EXPECT_EQ(status, ERROR_SUCCESS) << path;
}

FixtureKey::~FixtureKey()
{
    if (m_key != nullptr) {
        ::RegCloseKey(m_key);
    }
}

void FixtureKey::Dword(const wchar_t* name, DWORD value)
{
    Raw(name, REG_DWORD, &value, sizeof(value));
}

void FixtureKey::String(const wchar_t* name, const std::wstring& value, DWORD type)
{
    Raw(name, type, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void FixtureKey::Raw(const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    EXPECT_EQ(::RegSetValueExW(m_key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS) << name;
}

bool IsDateTime(const std::wstring& text)
{
    if (text.size() != 23) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 4 || i == 7 || i == 10 || i == 13 || i == 16 || i == 19;
        if (dash ? text[i] != L'-' : !(text[i] >= L'0' && text[i] <= L'9')) {
            return false;
        }
    }
    const int month = std::stoi(text.substr(5, 2));
    const int day = std::stoi(text.substr(8, 2));
    return month >= 1 && month <= 12 && day >= 1 && day <= 31 && std::stoi(text.substr(11, 2)) < 24 &&
           std::stoi(text.substr(14, 2)) < 60 && std::stoi(text.substr(17, 2)) < 60;
}

Folder::Folder(const std::wstring& name)
{
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    m_path = std::wstring(temp) + L"vek_logopts_" + name + L"_" + std::to_wstring(::GetCurrentProcessId());
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
    std::filesystem::create_directories(m_path);
}

Folder::~Folder()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::vector<std::wstring> Folder::Files() const
{
    std::vector<std::wstring> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(m_path, ec)) {
        names.push_back(entry.path().filename().wstring());
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace logtest

namespace {
// Every executable that links these helpers works in a silo of its own.
::testing::Environment* const g_silo = ::testing::AddGlobalTestEnvironment(new logtest::SiloEnvironment);
} // namespace
