#include "ProxyTestSupport.h"

#include <shellapi.h>

namespace proxy_test {

namespace {
std::wstring Unique(const wchar_t* name)
{
    static int counter = 0;
    return std::wstring(name) + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
}
} // namespace

TestRoot::TestRoot(HKEY hive, const wchar_t* name) : m_hive(hive), m_path(L"Software\\VekTests\\" + Unique(name))
{
    RegCreateKeyExW(m_hive, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_key, nullptr);
}

TestRoot::~TestRoot()
{
    if (m_key)
        RegCloseKey(m_key);
    // Only this root goes: the shared parent stays, since another test program may be creating
    // its own root below it at this moment (deleting the parent while empty failed its creation).
    RegDeleteTreeW(m_hive, m_path.c_str());
}

void TestRoot::SetString(const std::wstring& path, const wchar_t* name, const std::wstring& value)
{
    RegSetKeyValueW(m_key, path.c_str(), name, REG_SZ, value.c_str(),
                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void TestRoot::SetDword(const std::wstring& path, const wchar_t* name, DWORD value)
{
    RegSetKeyValueW(m_key, path.c_str(), name, REG_DWORD, &value, sizeof(value));
}

void TestRoot::SetBinary(const std::wstring& path, const wchar_t* name, const std::vector<BYTE>& value)
{
    RegSetKeyValueW(m_key, path.c_str(), name, REG_BINARY, value.data(), static_cast<DWORD>(value.size()));
}

void TestRoot::DeleteTree(const std::wstring& path)
{
    RegDeleteTreeW(m_key, path.c_str());
}

TempFolder::TempFolder(const wchar_t* name)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    m_path = std::wstring(temp) + Unique(name) + L"\\";
    CreateDirectoryW(m_path.c_str(), nullptr);
}

TempFolder::~TempFolder()
{
    // SHFileOperation wants a double-NUL-terminated list and no trailing backslash.
    std::wstring from = m_path.substr(0, m_path.size() - 1);
    from.push_back(L'\0');
    SHFILEOPSTRUCTW op{};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
    SHFileOperationW(&op);
}

void TempFolder::MakeFolder(const std::wstring& relative)
{
    std::wstring path = m_path;
    for (std::size_t start = 0; start < relative.size();) {
        std::size_t end = relative.find(L'\\', start);
        if (end == std::wstring::npos)
            end = relative.size();
        path += relative.substr(start, end - start) + L"\\";
        CreateDirectoryW(path.c_str(), nullptr);
        start = end + 1;
    }
}

void TempFolder::Write(const std::wstring& relative, const std::string& bytes)
{
    const std::size_t slash = relative.rfind(L'\\');
    if (slash != std::wstring::npos)
        MakeFolder(relative.substr(0, slash));
    HANDLE file = CreateFileW((m_path + relative).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::vector<BYTE> ConnectionSettings(DWORD flags, const std::string& proxy, const std::string& bypass,
                                     const std::string& autoConfig)
{
    std::vector<BYTE> blob;
    auto dword = [&blob](DWORD value) {
        for (int i = 0; i < 4; ++i)
            blob.push_back(static_cast<BYTE>(value >> (8 * i)));
    };
    auto text = [&](const std::string& value) {
        dword(static_cast<DWORD>(value.size()));
        blob.insert(blob.end(), value.begin(), value.end());
    };
    dword(0x46);
    dword(1);
    dword(flags);
    text(proxy);
    text(bypass);
    text(autoConfig);
    blob.resize(blob.size() + 32, 0); // what the browser keeps after the texts
    return blob;
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

} // namespace proxy_test
