#pragma once
// First-run setup through kernel32's own OOBE exports (Windows 7 and later).
#include "engine/mid/QuvOobeStrategy.h"

#include "common/system/qkHandle.h"
#include "common/system/qkResourceHolders.h"

class QuvOobeCallbackStrategy : public QuvOobeStrategy {
public:
    bool IsInProgress() override;
    void Wait(HANDLE handle1, HANDLE handle2) override;

protected:
    bool InitializeStrategy() override;

private:
    using RegisterWaitFn = BOOL(WINAPI*)(PVOID callback, PVOID context, PVOID* waitHandle);
    using UnregisterWaitFn = BOOL(WINAPI*)(PVOID waitHandle);
    using OobeCompleteFn = BOOL(WINAPI*)(PBOOL isComplete);

    static void CALLBACK OnCompleted(PVOID context);

    RegisterWaitFn m_register = nullptr;
    UnregisterWaitFn m_unregister = nullptr;
    OobeCompleteFn m_complete = nullptr;
    bool m_initialized = false;
    qkHandle m_event;
    qkLibrary m_kernel32;
};
