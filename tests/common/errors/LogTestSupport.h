#pragma once
// Helpers of the log option tests: a silo of this process's own under HKEY_LOCAL_MACHINE,
// registry fixtures below it, folders for log files (reading them: LogFileBytes.h).
#include "common/base/qkDebugOutput.h"
#include "tests/common/base/LogFileBytes.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace logtest {

// Sets the process's silo to a fresh id below a root of its own ("Software\VekTest\logopts_<pid>")
// and removes that root in both registry views at the end.
class SiloEnvironment : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;
    static const std::wstring& Root();
};

// The registry view this process reads without flags, and the other one.
REGSAM OwnView();
REGSAM OtherView();

// "<silo registry path>\Keel Core\Debug".
std::wstring DebugKeyPath();
// Removes "<silo>\Keel Core" in both views.
void RemoveFixtures();

// A key under HKEY_LOCAL_MACHINE created for writing fixtures.
class FixtureKey {
public:
    explicit FixtureKey(const std::wstring& path, REGSAM view = 0);
    ~FixtureKey();
    FixtureKey(const FixtureKey&) = delete;
    FixtureKey& operator=(const FixtureKey&) = delete;

    void Dword(const wchar_t* name, DWORD value);
    void String(const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ);
    void Raw(const wchar_t* name, DWORD type, const void* data, DWORD size);

private:
    HKEY m_key = nullptr;
};

// "yyyy-mm-dd-hh-mm-ss-mmm" with plausible fields.
bool IsDateTime(const std::wstring& text);

// A fresh folder below the temporary folder, removed with its files by the destructor.
class Folder {
public:
    explicit Folder(const std::wstring& name);
    ~Folder();
    const std::wstring& Path() const { return m_path; }
    std::wstring operator/(const std::wstring& name) const { return m_path + L"\\" + name; }
    // Names of the files in the folder, sorted.
    std::vector<std::wstring> Files() const;

private:
    std::wstring m_path;
};

} // namespace logtest
