#include "LauncherTestSupport.h"

#include "common/errors/qkLog.h"
#include "support/CreateProcessRetrying.h"

#include <atomic>
#include <stdexcept>

namespace launchertest {

namespace {

// Starts the program with its standard output and error on a new pipe; the read end comes back.
void Start(const std::wstring& program, const std::wstring& arguments, qkHandle& process, qkHandle& output)
{
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &sa, 0)) {
        throw std::runtime_error("CreatePipe failed");
    }
    output.Reset(readEnd);
    qkHandle writer(writeEnd);
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    PROCESS_INFORMATION pi{};
    if (!vek::test::CreateProcessRetrying(nullptr, commandLine.data(), TRUE, 0, nullptr, &si, &pi)) {
        throw std::runtime_error("CreateProcessW failed");
    }
    qkHandle thread(pi.hThread);
    process.Reset(pi.hProcess);
}

int Collect(qkHandle& process, qkHandle& output, std::string& text, DWORD timeoutMs)
{
    text.clear();
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(output.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        text.append(buffer, read);
    }
    output.Close();
    DWORD code = static_cast<DWORD>(-1);
    if (::WaitForSingleObject(process.Get(), timeoutMs) == WAIT_OBJECT_0) {
        ::GetExitCodeProcess(process.Get(), &code);
    } else {
        ::TerminateProcess(process.Get(), 1);
    }
    process.Close();
    return static_cast<int>(code);
}

} // namespace

std::wstring ProgramPath(const wchar_t* name)
{
    wchar_t path[MAX_PATH * 4];
    ::GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    return (std::filesystem::path(path).parent_path() / name).wstring();
}

int RunProgram(const std::wstring& program, const std::wstring& arguments, std::string& output, DWORD timeoutMs)
{
    qkHandle process;
    qkHandle pipe;
    Start(program, arguments, process, pipe);
    return Collect(process, pipe, output, timeoutMs);
}

BackgroundProgram::BackgroundProgram(const std::wstring& program, const std::wstring& arguments)
{
    Start(program, arguments, m_process, m_output);
}

BackgroundProgram::~BackgroundProgram()
{
    if (m_process.IsValid() && ::WaitForSingleObject(m_process.Get(), 0) != WAIT_OBJECT_0) {
        ::TerminateProcess(m_process.Get(), 1);
    }
}

void BackgroundProgram::Kill()
{
    ::TerminateProcess(m_process.Get(), 9);
    ::WaitForSingleObject(m_process.Get(), 30000);
}

int BackgroundProgram::Finish(std::string& output, DWORD timeoutMs)
{
    return Collect(m_process, m_output, output, timeoutMs);
}

ScratchFolder::ScratchFolder(const std::wstring& name)
{
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    m_path = std::filesystem::path(temp) / UniqueName((L"vek_launcher_" + name + L"_").c_str());
    std::filesystem::create_directories(m_path);
}

ScratchFolder::~ScratchFolder()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

LogCapture::LogCapture() : qkDebugOutput(L"LogCapture")
{
    SetDebugType(LevelInformation);
    SetPrependType(TRUE);
    SetOutputToDebugger(FALSE);
    SetOutputToFile(FALSE);
    qkLib::ProcessLogger().SetForwardTo(this);
}

LogCapture::~LogCapture()
{
    qkLib::ProcessLogger().SetForwardTo(nullptr);
}

void LogCapture::OutputText(const wchar_t* line)
{
    m_lines.emplace_back(line);
}

std::vector<std::wstring> LogCapture::Matching(const std::wstring& text) const
{
    std::vector<std::wstring> found;
    for (const std::wstring& line : m_lines) {
        if (line.find(text) != std::wstring::npos) {
            found.push_back(line);
        }
    }
    return found;
}

std::wstring UniqueName(const wchar_t* prefix)
{
    static std::atomic<unsigned> counter{0};
    return std::wstring(prefix) + std::to_wstring(::GetCurrentProcessId()) + L"_" + std::to_wstring(++counter);
}

} // namespace launchertest
