#include "TestSupport.h"

#include <fstream>
#include <stdexcept>

namespace systest {

ScratchDir::ScratchDir(const std::wstring& name)
{
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    m_path = std::filesystem::path(temp) /
             (L"vek_system_" + name + L"_" + std::to_wstring(::GetCurrentProcessId()));
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

int RunAndCapture(const std::wstring& exe, const std::wstring& arguments, std::string& output,
                  DWORD timeoutMs)
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
    BOOL started = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                    nullptr, nullptr, &si, &pi);
    ::CloseHandle(writeEnd);
    if (!started)
    {
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

} // namespace systest
