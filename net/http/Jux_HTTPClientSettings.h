#pragma once
// Typed access to the values of the HTTP client's settings file. The policy values ("Policies",
// "Pins", "WellKnownRoots", "WhiteList", "Telemetry") are provisioned by whoever deploys the
// product and only read here; the report counters ("Dynamic\JuxClient\HTTPClient") are the
// client's own. Each operation opens the section it needs: without create for reads, with create
// for writes. A missing file, section or value reads as 0x80070490 and the caller falls back.
//
//   section                          value                    type    meaning
//   Policies                         Mode                     u32     0 off, 1 check and report, 2 enforce
//   Policies                         RootCheckMode            u32     0: a private root passes without a pin
//   Pins / WellKnownRoots            (free labels)            text    SHA-1 thumbprints, 40 hex digits
//   WhiteList                        (free labels)            text    domains whose hosts are pinned
//   Telemetry                        DataVersion              u32     version of the provisioned policy
//   Telemetry                        MaxPingsForDailyPeriod   u32     reports allowed per day (0: none)
//   Dynamic\JuxClient\HTTPClient     CurrentDailyPingCount    u32     reports sent in this period
//   Dynamic\JuxClient\HTTPClient     LastInitPingTime         u64     period start, UTC file time
#include "net/http/Jux_SettingsHelper.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Jux {

class CHTTPClientSettings {
public:
    // The file is opened by Open; the helper's end writes changed values back and closes it.
    HRESULT Open(bool writable = false) { return m_helper.OpenClientSettings(writable); }
    HRESULT Close() { return m_helper.Close(); }

    HRESULT GetDataVersion(DWORD& version);
    // Both outputs change only when both values were read.
    HRESULT GetPinningModes(DWORD& mode, DWORD& rootCheckMode);
    // Value name -> thumbprint.
    HRESULT GetPins(std::map<std::wstring, std::wstring>& pins);
    HRESULT GetWellKnownRoots(std::map<std::wstring, std::wstring>& roots);
    HRESULT GetWhiteList(std::vector<std::wstring>& domains);
    HRESULT GetMaxPingsForDailyPeriod(DWORD& count);
    HRESULT GetCurrentDailyPingCount(DWORD& count);
    HRESULT SetCurrentDailyPingCount(DWORD count);
    HRESULT GetLastInitPingTime(std::uint64_t& fileTime);
    HRESULT SetLastInitPingTime(std::uint64_t fileTime);

    CSettingsHelper& Helper() { return m_helper; }

private:
    HRESULT ReadList(const wchar_t* section, std::vector<std::pair<std::wstring, std::wstring>>& entries);

    CSettingsHelper m_helper;
};

} // namespace Jux
