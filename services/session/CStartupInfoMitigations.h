#pragma once
// The start-up information of a child process with a process-mitigation policy attached: DEP
// always, and on Windows 8 or later (servers from 6.2) also heap termination on corruption,
// strict handle checks and no legacy extension points. Lives on the stack for one process
// creation; the attribute list is deleted with it.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vek {

class CStartupInfoMitigations {
public:
    CStartupInfoMitigations();
    ~CStartupInfoMitigations();
    CStartupInfoMitigations(const CStartupInfoMitigations&) = delete;
    CStartupInfoMitigations& operator=(const CStartupInfoMitigations&) = delete;

    // S_OK also when the system gets no policy (plain start-up information then); the HRESULT of
    // the failing attribute-list call otherwise.
    HRESULT Create();
    // EXTENDED_STARTUPINFO_PRESENT when the policy is attached, else 0.
    DWORD GetCreationFlags() const { return m_attributeInUse ? EXTENDED_STARTUPINFO_PRESENT : 0; }
    STARTUPINFOEXW& GetStartupInfo() { return m_startup; }

    // The policy a system of this version gets: false when it gets none; else the value and its
    // width in bytes (4 with DEP only, 8 with the Windows 8 additions).
    static bool PolicyFor(const RTL_OSVERSIONINFOEXW& version, std::uint64_t& value, std::size_t& width);

private:
    STARTUPINFOEXW m_startup{};
    std::vector<BYTE> m_list;
    bool m_attributeInUse = false;
    bool m_listInitialized = false;
    std::uint64_t m_policy = 0;
};

} // namespace vek
