#include "statusprobe/console/ProbeHarness.h"

#include "support/CreateProcessRetrying.h"
#include "statusprobe/console/NameTables.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

namespace probe_test {

namespace {

constexpr wchar_t kSdkKey[] = L"SOFTWARE\\Vallor\\SecurityStatusSDK";

struct HandleCloser {
    void operator()(HANDLE h) const
    {
        if (h != nullptr && h != INVALID_HANDLE_VALUE) {
            ::CloseHandle(h);
        }
    }
};
using Handle = std::unique_ptr<void, HandleCloser>;

std::string ReadAll(HANDLE pipe)
{
    std::string data;
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(pipe, buffer, sizeof(buffer), &read, nullptr) && read != 0) {
        data.append(buffer, read);
    }
    return data;
}

std::string Lookup(const NameTable& table, long code)
{
    for (const auto& [value, name] : table) {
        if (value == code) {
            return name;
        }
    }
    return "<unknown>";
}

} // namespace

std::wstring BinFolder()
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

std::wstring TestDllPath()
{
    return BinFolder() + L"\\SecurityStatusTest.dll";
}

ProbeRun RunProbe(const std::wstring& arguments, const std::string& input)
{
    ProbeRun run;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr, errRead = nullptr,
           errWrite = nullptr;
    if (!::CreatePipe(&inRead, &inWrite, &inherit, 0) || !::CreatePipe(&outRead, &outWrite, &inherit, 0) ||
        !::CreatePipe(&errRead, &errWrite, &inherit, 0)) {
        ADD_FAILURE() << "CreatePipe failed: " << ::GetLastError();
        return run;
    }
    Handle childIn(inRead), toChild(inWrite), fromChild(outRead), childOut(outWrite), errors(errRead),
        childErr(errWrite);
    // Our ends stay with us.
    ::SetHandleInformation(toChild.get(), HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(fromChild.get(), HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(errors.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn.get();
    startup.hStdOutput = childOut.get();
    startup.hStdError = childErr.get();
    const std::wstring program = BinFolder() + L"\\StatusProbe.exe";
    std::wstring commandLine = L"StatusProbe.exe";
    if (!arguments.empty()) {
        commandLine += L" " + arguments;
    }
    PROCESS_INFORMATION process{};
    const BOOL started =
        vek::test::CreateProcessRetrying(program.c_str(), commandLine.data(), TRUE, 0, nullptr, &startup, &process);
    const DWORD startError = started ? 0 : ::GetLastError();
    if (!started) {
        ADD_FAILURE() << "CreateProcess failed: " << startError;
        return run;
    }
    Handle processHandle(process.hProcess), threadHandle(process.hThread);
    childIn.reset();
    childOut.reset();
    childErr.reset();

    // Read both pipes while feeding the input, so that no side blocks on a full pipe.
    std::string errorText;
    std::thread errorReader([&] { errorText = ReadAll(errors.get()); });
    std::thread writer([&] {
        DWORD written = 0;
        if (!input.empty()) {
            ::WriteFile(toChild.get(), input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
        }
        toChild.reset();
    });
    run.output = ReadAll(fromChild.get());
    writer.join();
    errorReader.join();
    run.errors = errorText;

    if (::WaitForSingleObject(processHandle.get(), 60000) != WAIT_OBJECT_0) {
        ::TerminateProcess(processHandle.get(), 99);
        ADD_FAILURE() << "StatusProbe did not end";
    }
    ::GetExitCodeProcess(processHandle.get(), &run.exitCode);
    return run;
}

SdkRegistration::SdkRegistration()
{
    const LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSdkKey, 0, nullptr, 0,
                                             KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &m_key, nullptr);
    EXPECT_EQ(status, ERROR_SUCCESS) << "creating the SDK key";
}

SdkRegistration::~SdkRegistration()
{
    if (m_key != nullptr) {
        ::RegCloseKey(m_key);
    }
    RemoveSdkKey();
}

void SdkRegistration::SetRaw(DWORD type, const void* data, DWORD size)
{
    ASSERT_EQ(::RegSetValueExW(m_key, L"SDKPath64", 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
}

void SdkRegistration::SetPath(const std::wstring& path, DWORD type)
{
    SetRaw(type, path.c_str(), static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
}

void RemoveSdkKey()
{
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSdkKey, KEY_WOW64_64KEY, 0);
}

DllSteering::DllSteering()
{
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    m_folder = std::wstring(temp) + L"vek_statusprobe_" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(m_folder.c_str(), nullptr);
    m_script = m_folder + L"\\script.txt";
    m_log = m_folder + L"\\calls.log";
    ::DeleteFileW(m_script.c_str());
    ::DeleteFileW(m_log.c_str());
    ::SetEnvironmentVariableW(L"VEK_SSTEST_SCRIPT", m_script.c_str());
    ::SetEnvironmentVariableW(L"VEK_SSTEST_LOG", m_log.c_str());
}

DllSteering::~DllSteering()
{
    ::SetEnvironmentVariableW(L"VEK_SSTEST_SCRIPT", nullptr);
    ::SetEnvironmentVariableW(L"VEK_SSTEST_LOG", nullptr);
    ::DeleteFileW(m_script.c_str());
    ::DeleteFileW(m_log.c_str());
    ::RemoveDirectoryW(m_folder.c_str());
}

void DllSteering::Reset()
{
    ::DeleteFileW(m_script.c_str());
    ::DeleteFileW(m_log.c_str());
}

void DllSteering::WriteScript(const std::vector<std::string>& lines)
{
    std::ofstream out(m_script.c_str(), std::ios::binary | std::ios::trunc);
    for (const auto& line : lines) {
        out << line << '\n';
    }
}

std::vector<std::string> DllSteering::Log() const
{
    std::vector<std::string> lines;
    std::ifstream in(m_log.c_str(), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

bool DllSteering::LogExists() const
{
    return ::GetFileAttributesW(m_log.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Crlf(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
}

std::string OperationName(long code)
{
    return Lookup(kOperationNames, code);
}

std::string StatusName(long value)
{
    return Lookup(kStatusNames, value);
}

std::string ErrorName(long code)
{
    return Lookup(kErrorNames, code);
}

std::string Menu(bool header)
{
    std::string text;
    if (header) {
        text += "Enter command number (e or q to exit, m or h for menu/help, a to run all from cli).  Invalid cmds "
                "will be sent to the server\n";
    }
    for (long code = 512; code <= 566; ++code) {
        text += "[" + std::to_string(code - 512) + "]: " + OperationName(code) + "\n";
    }
    return text;
}

std::string Usage(const std::string& programName)
{
    return "Usage: " + programName + " [-m] [-i] [-t <num>] [-l <count>]\n" +
           "\t[i]nteractive: use iteractive cmdline interface\n" +
           "\t[t]est <num>: run an individual test by number & quit\n" +
           "\t[l]oop <count>: run [all/single] test(s) in a loop\n" + "\t" + programName +
           " <Enter>: run all commands and start interactive mode\n" + "\nTest IDs are:\n" + Menu(false);
}

std::string Exec(long code, const std::string& resultLine)
{
    return "Executing " + OperationName(code) + "... " + resultLine + "\n";
}

std::string AllDefault()
{
    std::string text;
    for (long code = 512; code <= 566; ++code) {
        text += Exec(code, kDefaultResult);
    }
    return text;
}

std::string SystemMessage(HRESULT hr)
{
    wchar_t* raw = nullptr;
    const DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, static_cast<DWORD>(hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                         reinterpret_cast<wchar_t*>(&raw), 0, nullptr);
    std::string text;
    if (length != 0 && raw != nullptr) {
        for (DWORD i = 0; i < length; ++i) {
            text += static_cast<char>(raw[i]);
        }
        ::LocalFree(raw);
        if (text.size() > 1 && text.back() == '\n') {
            text.pop_back();
            if (text.back() == '\r') {
                text.pop_back();
            }
        }
    }
    return text;
}

std::string ComErrorText(HRESULT hr)
{
    const std::string text = SystemMessage(hr);
    if (!text.empty()) {
        return text;
    }
    char fallback[32];
    std::snprintf(fallback, sizeof(fallback), "Unknown error 0x%lX", static_cast<unsigned long>(hr));
    return fallback;
}

std::string CallLine(long code)
{
    return "execute 0 3:" + std::to_string(code) + " 3:0 0 0";
}

std::string CallLine(long code, const std::string& text)
{
    return "execute 0 3:" + std::to_string(code) + " 8:" + text + " 0 0";
}

std::vector<std::string> AllCalls()
{
    std::vector<std::string> calls;
    for (long code = 512; code <= 566; ++code) {
        calls.push_back(CallLine(code));
    }
    return calls;
}

} // namespace probe_test
