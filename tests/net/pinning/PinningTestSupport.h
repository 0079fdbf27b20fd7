#pragma once
// Fixtures of the pinning tests: a client settings file written through the settings store, the
// data folder that "%DATADIR%" expands to, a recording telemetry object served by the instance
// factory, a settable clock, certificate thumbprints read from the test certificates, and child
// processes of this test program (for once-per-process rules and state across processes).
#include "net/http/Jux_ReportLimiter.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pintest {

// One client settings file. Absent optionals are not written; a list that is absent is no
// section at all, an empty list is a section without values.
struct ClientSettingsSpec {
    std::optional<DWORD> mode = std::nullopt;
    std::optional<DWORD> rootCheckMode = std::nullopt;
    std::optional<std::vector<std::wstring>> pins = std::nullopt;
    std::optional<std::vector<std::wstring>> wellKnownRoots = std::nullopt;
    std::optional<std::vector<std::wstring>> whiteList = std::nullopt;
    std::optional<DWORD> dataVersion = std::nullopt;
    std::optional<DWORD> maxPings = std::nullopt;
    std::optional<DWORD> pingCount = std::nullopt;
    std::optional<std::uint64_t> lastInitPingTime = std::nullopt;
};

// A settings store file at path with the given sections: {section: {name: DWORD | text}}.
struct StoreValue {
    std::optional<DWORD> number = std::nullopt;
    std::optional<std::uint64_t> wide = std::nullopt;
    std::optional<std::wstring> text = std::nullopt;
};
using StoreSections = std::map<std::wstring, std::map<std::wstring, StoreValue>>;
void WriteStore(const std::wstring& path, const StoreSections& sections);
StoreSections SectionsOf(const ClientSettingsSpec& spec);

// A fresh data folder for this test (client.dat below "http\"), made the target of %DATADIR%.
class DataDir {
public:
    explicit DataDir(const char* name);
    ~DataDir();
    const std::wstring& Path() const { return m_path; }
    std::wstring ClientFile() const { return m_path + L"\\http\\client.dat"; }
    void Write(const ClientSettingsSpec& spec) const;

private:
    std::wstring m_path;
};
// Points %DATADIR% at folder (empty: no data folder, the expansion fails).
void SetDataDir(const std::wstring& folder);

// Registers the test's settings factory (the store's standalone manager) once per process.
void EnsureSettingsFactory();

// Reads a DWORD / QWORD of a store file directly; nullopt when absent.
std::optional<DWORD> ReadDword(const std::wstring& path, const wchar_t* section, const wchar_t* name);
std::optional<std::uint64_t> ReadQword(const std::wstring& path, const wchar_t* section, const wchar_t* name);

class FixedClock : public Jux::IFileTimeClock {
public:
    explicit FixedClock(std::uint64_t now = 0) : now(now) {}
    std::uint64_t NowUtc() override { return now.load(); }
    std::atomic<std::uint64_t> now;
};

// Telemetry events that reached the recording object (registered in the instance factory).
struct TelemetryEvent {
    DWORD eventId = 0;
    DWORD resultCode = 0;
    DWORD constant1 = 0;
    DWORD constant2 = 0;
    std::vector<std::pair<std::wstring, std::wstring>> pairs;
    std::wstring Value(const wchar_t* name) const;
};
void EnsureRecordingTelemetry();
std::vector<TelemetryEvent> TakeTelemetry();

// SHA-1 thumbprint (upper-case hex) of a PEM certificate file of the test certificates.
std::wstring ThumbprintOfPem(const std::wstring& path);
// The simple display name of the certificate in a PEM file.
std::wstring DisplayNameOfPem(const std::wstring& path);

// Runs the named disabled test of this program in a child process with extra environment
// variables; returns its exit code (0 = passed).
DWORD RunChild(const std::string& testName, const std::map<std::wstring, std::wstring>& environment);
// An environment variable of this process ("" when absent).
std::wstring Env(const wchar_t* name);

} // namespace pintest
