#pragma once
// Helpers of the launcher tests: the test programs beside the test executable, run in the
// foreground (standard output collected) or in the background, and a folder of a test's own.
#include "common/base/qkDebugOutput.h"
#include "common/system/qkHandle.h"

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

namespace launchertest {

// "<folder of this executable>\<name>".
std::wstring ProgramPath(const wchar_t* name);

// Runs "<program>" <arguments> and collects its standard output; the exit code, or -1 when it
// could not start or did not end in time.
int RunProgram(const std::wstring& program, const std::wstring& arguments, std::string& output,
               DWORD timeoutMs = 60000);

// A program started in the background, its standard output collected by Finish; killed by the
// destructor when still running.
class BackgroundProgram {
public:
    BackgroundProgram(const std::wstring& program, const std::wstring& arguments);
    ~BackgroundProgram();
    // Reads the output to its end and waits for the exit; the exit code or -1.
    int Finish(std::string& output, DWORD timeoutMs = 60000);
    // Ends the program at once with exit code 9.
    void Kill();

private:
    qkHandle m_process;
    qkHandle m_output;
};

// A fresh folder below the temporary folder, removed with its content by the destructor.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::wstring& name);
    ~ScratchFolder();
    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// Collects the lines of the process logger ("<level word> : <text>") while it lives.
class LogCapture : private qkDebugOutput {
public:
    LogCapture();
    ~LogCapture() override;
    const std::vector<std::wstring>& Lines() const { return m_lines; }
    // The lines that contain the text.
    std::vector<std::wstring> Matching(const std::wstring& text) const;

private:
    void OutputText(const wchar_t* line) override;

    std::vector<std::wstring> m_lines;
};

// A name unique to this process and call, for keys, events and manifest ids.
std::wstring UniqueName(const wchar_t* prefix);

} // namespace launchertest
