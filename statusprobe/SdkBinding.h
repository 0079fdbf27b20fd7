// Finds the installed security-status DLL through the registry, loads it and creates the status
// object through its export; on the way out, releases the object and unloads the DLL.
#pragma once

#include "statusprobe/ISecurityStatus.h"

#include <wrl/client.h>
#include <string>

class SdkBinding {
public:
    // The step of the binding that failed; each prints its own message.
    enum class Failure {
        None,
        RegistryKey,
        RegistryValue,
        LoadDll,
        Export,
    };

    SdkBinding() = default;
    ~SdkBinding();
    SdkBinding(const SdkBinding&) = delete;
    SdkBinding& operator=(const SdkBinding&) = delete;

    // Registry key, "SDKPath64", the DLL and its export, in this order. Prints the message of
    // the first step that fails.
    Failure Load();

    // Calls "SDKCreateObject" for the interface. A failure prints "Failed to create object" and
    // is raised as a ComError.
    Microsoft::WRL::ComPtr<ISecurityStatus> CreateObject();

    // Frees the DLL (every object of it must be released by now) and says so when its module is
    // gone from the process.
    void Unload();

private:
    Failure ReadDllPath();

    std::wstring m_path;
    HMODULE m_module = nullptr;
    SDKCreateObjectFn m_create = nullptr;
};
