#pragma once
// Error instances that the product's own callers file, read back: an "ErrorClient" configuration
// of the test's own (instances into a fresh folder, a dump with each), the instance files it
// received, and what one of them holds.
#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "DiagTestSupport.h"
#include "tests/common/errors/LogTestSupport.h"

namespace diagtest {

// While it lives, error instances are written below its folder, each with a dump.
class ErrorClientFixture {
public:
    ErrorClientFixture();
    ~ErrorClientFixture();
    ErrorClientFixture(const ErrorClientFixture&) = delete;
    ErrorClientFixture& operator=(const ErrorClientFixture&) = delete;
    // The instance files written so far, in any bucket.
    std::vector<std::wstring> InstanceFiles() const;

private:
    TempFolder m_root{L"reports"};
    std::unique_ptr<logtest::FixtureKey> m_map;
    std::unique_ptr<logtest::FixtureKey> m_key;
};

struct InstanceFile {
    bool ok = false;
    std::string error;
    bool hasNumbers = false;
    ULONG numbers[3] = {};
    // Key 14: where the failure address lies in the failing module.
    ULONGLONG failureOffset = 0;
    std::wstring idText;
    std::vector<std::pair<std::wstring, std::wstring>> properties;
    std::vector<std::wstring> attachments;
    std::vector<BYTE> dump; // the "Dump" record's payload, when there is one
    std::wstring Property(const wchar_t* name) const;
};
InstanceFile ReadInstance(const std::wstring& path);

// The dump's stack, walked through this program's own module, comes back to the code that
// reported: a frame returns into it a few bytes behind the failure address. Empty when it does;
// otherwise what went wrong.
std::string WalkReachesTheReporter(const InstanceFile& instance);

} // namespace diagtest
