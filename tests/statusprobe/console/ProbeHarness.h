// Runs the real StatusProbe.exe as a child process with piped standard input and output, and
// builds the texts it is expected to print. Owns the registration of the test DLL in the 64-bit
// registry view and the script and log files through which the test DLL is steered and observed.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace probe_test {

struct ProbeRun {
    std::string output; // the bytes that arrived through the stdout pipe
    std::string errors; // the bytes that arrived through the stderr pipe
    DWORD exitCode = 0xFFFFFFFF;
};

// Starts "StatusProbe.exe <arguments>" from the test's own folder, writes input to its standard
// input, closes it, and collects everything up to its exit.
ProbeRun RunProbe(const std::wstring& arguments, const std::string& input = std::string());

// The folder of the running test executable (where StatusProbe.exe and the test DLL are).
std::wstring BinFolder();
std::wstring TestDllPath();

// HKLM\SOFTWARE\Vallor\SecurityStatusSDK in the 64-bit view, removed when this goes away.
class SdkRegistration {
public:
    SdkRegistration();
    ~SdkRegistration();
    SdkRegistration(const SdkRegistration&) = delete;
    SdkRegistration& operator=(const SdkRegistration&) = delete;

    // "SDKPath64" with the given type and raw bytes.
    void SetRaw(DWORD type, const void* data, DWORD size);
    // "SDKPath64" as text with its terminating NUL.
    void SetPath(const std::wstring& path, DWORD type = REG_SZ);

private:
    HKEY m_key = nullptr;
};

// Removes the key (if present) so that a test starts without it.
void RemoveSdkKey();

// Script and log files of the test DLL, named to it through the environment.
class DllSteering {
public:
    DllSteering();
    ~DllSteering();
    DllSteering(const DllSteering&) = delete;
    DllSteering& operator=(const DllSteering&) = delete;

    void WriteScript(const std::vector<std::string>& lines);
    // Removes script and log, for the next case.
    void Reset();
    // The log lines; empty when the DLL was never loaded.
    std::vector<std::string> Log() const;
    bool LogExists() const;

private:
    std::wstring m_folder;
    std::wstring m_script;
    std::wstring m_log;
};

// Expected texts, with "\n" line ends (the pipe carries them as "\r\n": see Crlf).
std::string Crlf(const std::string& text);
std::string OperationName(long code);
std::string StatusName(long value);
std::string ErrorName(long code);
std::string Menu(bool header);
std::string Usage(const std::string& programName);
std::string Exec(long code, const std::string& resultLine);
inline const std::string kPrompt = "StatusTest> ";
inline const std::string kExiting = "Exiting.\n";
inline const std::string kUnloaded = "GetModuleHandle returned NULL, SDK DLL unloaded successfully";
inline const std::string kDefaultResult = "PS_STATUS::eStatusEnabled"; // the DLL's answer without script
// Every code 512..566 with the default answer.
std::string AllDefault();
// The system's message for an HRESULT as the COM error class words it.
std::string SystemMessage(HRESULT hr);
// The system's message, or "Unknown error 0x..." when it has none (not for dispatch codes).
std::string ComErrorText(HRESULT hr);

// Log lines of the test DLL.
inline const std::string kCreated = "create";
inline const std::string kDestroyed = "destroyed";
std::string CallLine(long code);                          // parameter VT_I4 0
std::string CallLine(long code, const std::string& text); // parameter VT_BSTR
std::vector<std::string> AllCalls();

} // namespace probe_test
