#pragma once
// The machine identifier, worked out once per process. Working it out takes a global mutex,
// reads the stamp file, lists the network adapters and may write the registry, and every
// reporter of the process needs the same answer. Only an identifier is kept: while first-run
// setup still runs, or after a failure, the next caller asks the source again.
#include <windows.h>

#include <functional>
#include <mutex>
#include <string>

namespace vek {

class VekMachineIdCache {
public:
    using Source = std::function<HRESULT(std::wstring&)>;

    explicit VekMachineIdCache(Source source);
    VekMachineIdCache(const VekMachineIdCache&) = delete;
    VekMachineIdCache& operator=(const VekMachineIdCache&) = delete;

    // The process's cache over the machine-identifier library.
    static VekMachineIdCache& Process();

    // S_OK with the identifier; otherwise the source's result, and no identifier.
    // Callers on other threads wait while the source runs, so it runs once.
    HRESULT Get(std::wstring& identifier);

    // Replaces the source and forgets the identifier kept (tests).
    void Reset(Source source);

private:
    std::mutex m_lock;
    Source m_source;
    std::wstring m_identifier;
};

} // namespace vek
