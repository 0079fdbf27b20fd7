#pragma once
// Helpers shared by the system tests: scratch folders, files and child processes.
#include <windows.h>
#include <filesystem>
#include <string>

namespace systest {

// A fresh folder below the temporary folder, removed again by the destructor.
class ScratchDir {
public:
    explicit ScratchDir(const std::wstring& name);
    ~ScratchDir();
    const std::filesystem::path& Path() const { return m_path; }
    std::wstring operator/(const std::wstring& relative) const { return (m_path / relative).wstring(); }

private:
    std::filesystem::path m_path;
};

void WriteBytes(const std::wstring& path, const std::string& bytes);
// Writes wide text as UTF-16LE with FF FE in front.
void WriteUtf16(const std::wstring& path, const std::wstring& text);
std::string ReadBytes(const std::wstring& path);

// The folder of the running test executable.
std::filesystem::path ExeFolder();

// Runs a program and collects its standard output; returns the exit code (or -1).
int RunAndCapture(const std::wstring& exe, const std::wstring& arguments, std::string& output, DWORD timeoutMs = 60000);

// Copies system_probe.exe into the folder (created when missing), runs it with the operations
// and returns its output with CR removed.
std::string RunProbeIn(const std::filesystem::path& folder, const std::wstring& ops);

// A probe started in the background, its output read line by line; killed by the destructor.
class BackgroundProbe {
public:
    BackgroundProbe(const std::filesystem::path& folder, const std::wstring& ops);
    ~BackgroundProbe();
    // The next line of output without its line end; empty at the end of the output.
    std::string ReadLine();
    void Kill();

private:
    HANDLE m_process = nullptr;
    HANDLE m_output = nullptr;
};

// Sets this process's silo once: a fresh id below the root "Software\VekTest\Silos" (HKLM),
// whose path-expansion map holds the test tokens (QKROOT, QKDATA, NESTED, LOOP, UNC, TWICE).
// The silo's registry tree is removed when the process ends.
const std::wstring& TestSiloId();
// HKLM path of the test silo's path-expansion map.
std::wstring TestSiloMapPath();

} // namespace systest
