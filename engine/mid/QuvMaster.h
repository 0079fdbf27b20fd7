#pragma once
// The decision logic of the machine identifier: read the stamp file under the global mutex,
// decide whether the stored identifier and its stamp still describe this machine, make a new
// identifier or a new stamp where they do not, and mirror the identifier into the registry.
#include "engine/mid/QuvIdentitySource.h"
#include "engine/mid/QuvOobeStrategy.h"
#include "engine/mid/QuvStampState.h"

#include <functional>
#include <memory>
#include <string>

namespace QuvMaster {

// What a caller may replace (tests): the folder of the stamp file and the first-run check.
struct Options {
    std::wstring folderOverride;
    std::function<std::unique_ptr<QuvOobeStrategy>()> oobeStrategy;
};

// S_OK with the identifier; QUV_S_OOBE_IN_PROGRESS with none; a failure with none.
HRESULT GetMachineId(QuvIdentitySource& source, std::wstring& identifier, bool& hasIdentifier,
                     const Options& options = {});

// The decision with the mutex held; registryResult receives the registry synchronisation's
// result (1 when it did not run).
HRESULT CheckAndUpdate(QuvIdentitySource& source, HRESULT getValueResult, const std::wstring& currentValue,
                       QuvStampState& state, HRESULT& registryResult);

// The new history: the old one (cut to its last 2048 characters behind "~" when longer), the
// old identifier, the source name and the reason, joined by "|".
std::wstring BuildHistory(const std::wstring& oldHistory, const std::wstring& oldId, const std::wstring& sourceName,
                          const wchar_t* reason);

// "SOFTWARE\Vallor\<silo id>\Identifiers".
HRESULT RegistryKeyPath(std::wstring& path);
HRESULT ReadRegistryMid(std::wstring& value);
HRESULT WriteRegistryMid(const std::wstring& value);

} // namespace QuvMaster
