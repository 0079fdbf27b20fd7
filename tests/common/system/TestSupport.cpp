#include "TestSupport.h"

#include "support/CreateProcessRetrying.h"
#include "common/system/CIsolation.h"

#include <objbase.h>
#include <shlobj.h>

#include <fstream>
#include <stdexcept>

namespace systest {

ScratchDir::ScratchDir(const std::wstring& name)
{
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    m_path = std::filesystem::path(temp) / (L"vek_system_" + name + L"_" + std::to_wstring(::GetCurrentProcessId()));
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
    std::filesystem::create_directories(m_path);
}

ScratchDir::~ScratchDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write test file");
}

void WriteUtf16(const std::wstring& path, const std::wstring& text)
{
    std::string bytes("\xFF\xFE", 2);
    bytes.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    WriteBytes(path, bytes);
}

std::string ReadBytes(const std::wstring& path)
{
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::filesystem::path ExeFolder()
{
    wchar_t path[MAX_PATH * 4];
    ::GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    return std::filesystem::path(path).parent_path();
}

int RunAndCapture(const std::wstring& exe, const std::wstring& arguments, std::string& output, DWORD timeoutMs)
{
    output.clear();
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &sa, 0))
        return -1;
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
    PROCESS_INFORMATION pi{};
    BOOL started = vek::test::CreateProcessRetrying(nullptr, commandLine.data(), TRUE, 0, nullptr, &si, &pi);
    ::CloseHandle(writeEnd);
    if (!started) {
        ::CloseHandle(readEnd);
        return -1;
    }
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(readEnd, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        output.append(buffer, read);
    ::CloseHandle(readEnd);
    DWORD code = static_cast<DWORD>(-1);
    if (::WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0)
        ::GetExitCodeProcess(pi.hProcess, &code);
    else
        ::TerminateProcess(pi.hProcess, 1);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}

std::string RunProbeIn(const std::filesystem::path& folder, const std::wstring& ops)
{
    namespace fs = std::filesystem;
    fs::create_directories(folder);
    fs::path probe = folder / L"system_probe.exe";
    fs::copy_file(ExeFolder() / L"system_probe.exe", probe, fs::copy_options::overwrite_existing);
    std::string output;
    int code = RunAndCapture(probe.wstring(), ops, output);
    std::string clean;
    for (char ch : output)
        if (ch != '\r')
            clean += ch;
    if (code != 0)
        clean += "exit=" + std::to_string(code) + "\n";
    return clean;
}

BackgroundProbe::BackgroundProbe(const std::filesystem::path& folder, const std::wstring& ops)
{
    namespace fs = std::filesystem;
    fs::create_directories(folder);
    fs::path probe = folder / L"system_probe.exe";
    fs::copy_file(ExeFolder() / L"system_probe.exe", probe, fs::copy_options::overwrite_existing);
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&m_output, &writeEnd, &sa, 0))
        throw std::runtime_error("CreatePipe");
    ::SetHandleInformation(m_output, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    std::wstring commandLine = L"\"" + probe.wstring() + L"\" " + ops;
    PROCESS_INFORMATION pi{};
    BOOL started = vek::test::CreateProcessRetrying(nullptr, commandLine.data(), TRUE, 0, nullptr, &si, &pi);
    ::CloseHandle(writeEnd);
    if (!started)
        throw std::runtime_error("CreateProcessW");
    ::CloseHandle(pi.hThread);
    m_process = pi.hProcess;
}

BackgroundProbe::~BackgroundProbe()
{
    Kill();
    if (m_output)
        ::CloseHandle(m_output);
}

void BackgroundProbe::Kill()
{
    if (m_process) {
        ::TerminateProcess(m_process, 9);
        ::WaitForSingleObject(m_process, 10000);
        ::CloseHandle(m_process);
        m_process = nullptr;
    }
}

std::string BackgroundProbe::ReadLine()
{
    std::string line;
    char ch = 0;
    DWORD read = 0;
    while (::ReadFile(m_output, &ch, 1, &read, nullptr) && read == 1) {
        if (ch == '\n')
            break;
        if (ch != '\r')
            line += ch;
    }
    return line;
}

namespace {

const wchar_t kSiloRoot[] = L"Software\\VekTest\\Silos";

void SetString(HKEY key, const wchar_t* name, const wchar_t* value)
{
    ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                     static_cast<DWORD>((std::wcslen(value) + 1) * sizeof(wchar_t)));
}

struct TestSilo {
    std::wstring id;
    TestSilo()
    {
        GUID guid{};
        ::CoCreateGuid(&guid);
        wchar_t text[40];
        ::StringFromGUID2(guid, text, 40);
        id = text;
        if (!CIsolation::SetSiloID(id.c_str()) || !CIsolation::SetSiloRegistryRoot(kSiloRoot))
            throw std::runtime_error("cannot set the test silo");
        HKEY map = nullptr;
        const std::wstring mapPath = std::wstring(kSiloRoot) + L"\\" + id + L"\\Keel Core\\PathExpansionMap";
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, mapPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &map,
                              nullptr) != ERROR_SUCCESS)
            throw std::runtime_error("cannot create the path-expansion map");
        SetString(map, L"QKROOT", L"C:\\vek\\root\\");
        SetString(map, L"NESTED", L"%QKROOT%\\sub");
        SetString(map, L"LOOP", L"%LOOP%\\x");
        SetString(map, L"UNC", L"\\\\server\\\\share");
        SetString(map, L"TWICE", L"tw");
        HKEY data = nullptr;
        ::RegCreateKeyExW(map, L"QKDATA", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &data, nullptr);
        SetString(data, L"Path32", L"%COMMON_SILO_DATA%\\data");
        ::RegCloseKey(data);
        ::RegCloseKey(map);
    }
    ~TestSilo()
    {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kSiloRoot) + L"\\" + id).c_str());
        // The silo data folders that the tests made.
        for (int csidl : {CSIDL_COMMON_APPDATA, CSIDL_LOCAL_APPDATA}) {
            wchar_t folder[MAX_PATH];
            if (::SHGetSpecialFolderPathW(nullptr, folder, csidl, FALSE)) {
                std::error_code ec;
                std::filesystem::remove_all(std::filesystem::path(folder) / L"Talvern" / id, ec);
            }
        }
    }
};

} // namespace

const std::wstring& TestSiloId()
{
    static TestSilo silo;
    return silo.id;
}

std::wstring TestSiloMapPath()
{
    return std::wstring(kSiloRoot) + L"\\" + TestSiloId() + L"\\Keel Core\\PathExpansionMap";
}

} // namespace systest
