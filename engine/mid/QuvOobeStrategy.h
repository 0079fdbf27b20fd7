#pragma once
// One way to learn whether Windows' first-run setup (OOBE) is still running and to wait for its
// end.
#include <windows.h>

class QuvOobeStrategy {
public:
    virtual ~QuvOobeStrategy() = default;
    // True when the strategy can work on this system.
    bool Initialize() { return InitializeStrategy(); }
    virtual bool IsInProgress() = 0;
    // Blocks until setup ends or one of the two caller handles (either may be null) is signalled.
    virtual void Wait(HANDLE handle1, HANDLE handle2) = 0;

protected:
    virtual bool InitializeStrategy() = 0;
};
