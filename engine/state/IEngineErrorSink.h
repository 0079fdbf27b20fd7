#pragma once
// The slot of the engine's data reporter that records an error. The state file and the registry
// state report through it; the reporter proper implements it.
#include <windows.h>

#include <string>

namespace vek {

class IEngineErrorSink {
public:
    virtual ~IEngineErrorSink() = default;
    // The error's code, whether it is to be sent at once, and its extra data text.
    virtual void logError(HRESULT code, bool send, const std::wstring& extra) = 0;
};

} // namespace vek
