#pragma once
// Repair of the system's trust services, run by the engine's bootstrap when signature checks
// cannot work: the current user regains access to its application-data folder, the
// cryptographic service is stopped, the trust and cryptographic-provider DLLs are unregistered
// and registered again (each DLL's own DllUnregisterServer and DllRegisterServer), and the
// service is started again.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace vek {

// What a repair works on. The production plan names the system's DLLs and service; tests give
// DLLs and a service of their own.
struct TrustRepairPlan {
    // The DLLs, in the order they are unregistered and then registered.
    std::vector<std::wstring> dlls;
    // Loads one DLL of the list (production: from the system folder); null when it cannot.
    std::function<HMODULE(const wchar_t* name)> load;
    std::wstring serviceName;
    // Gives the current user access to its application-data folder first.
    bool ensureAppDataAccess = true;

    static TrustRepairPlan System();
};

// TRUE when every DLL registered again.
BOOL RepairTrustSystem();
BOOL RepairTrustSystem(const TrustRepairPlan& plan);

} // namespace vek
