#pragma once
// Checks made before anything is bootstrapped: the system is supported, the launcher has or can
// obtain administrator rights, and a package that carries only the OMBL component can be used on
// this machine. The system's facts come in as a record so that every version can be checked.
#include <windows.h>

#include <nlohmann/json.hpp>

#include "services/msi/EndpointUpgradeCodes.h"

#include <cstdint>
#include <functional>

namespace vek {

struct SystemFacts {
    DWORD major = 0;
    DWORD minor = 0;
    WORD servicePackMajor = 0;
    bool starterEdition = false; // system metric SM_STARTER
    bool wow64 = false;
    bool runningAsAdmin = false;
    bool uacEnabled = false;
    bool guestAccount = false;

    // This machine and this process.
    static SystemFacts Read();
};

constexpr int kSystemReady = 0;
constexpr int kAdminRightsMissing = 1;
constexpr int kSystemNotSupported = 2;

// 0 supported, 2 not: Windows XP from service pack 2 on, not a Starter edition, not under
// WOW64; any system from Windows Vista on.
int CheckSupportedSystem(const SystemFacts& facts);
// 0 ready, 1 administrator rights missing, 2 not supported. Rights count as obtainable on
// Windows Vista and later with UAC enabled, for any account but the guest.
int CheckAdministratorRights(const SystemFacts& facts);

// Shows the message of a failed check (string 155: rights missing, 157: system not supported).
using PrerequisiteMessage = std::function<void(UINT stringId)>;
constexpr UINT kStringNotAdmin = 155;
constexpr UINT kStringNotSupported = 157;

// S_OK, VEK_E_NOT_ADMIN or VEK_E_PREREQUISITES; outside silent mode a failure first shows its
// message.
HRESULT CheckPrerequisites(const SystemFacts& facts, bool silent, const PrerequisiteMessage& showMessage);

// What the component pre-check needs of the install job (the first element of "job_array").
struct OmblPackage {
    bool applies = false;                 // an endpoint-product package, no MSI, OMBL without qor/qor_edr
    bool installerHasDestination = false; // the OMBL "job_installer" entry has a destination here
};
// Reads the install job node: product_data.run_key "QOR", create_msi not "true", the comma-
// separated distribution.components, and the file_array entry of component "ombl" and type
// "job_installer" with a non-empty destination_file.
OmblPackage ReadOmblPackage(const nlohmann::json& installJob);

// The installed-version answer of the MSI utility for the endpoint product's two upgrade codes
// (the second one in a WOW64 process): -2 when the product is not installed.
using InstalledVersionQuery = std::function<int(const wchar_t* upgradeCode, const wchar_t* upgradeCodeWow64)>;
constexpr const wchar_t* kEndpointUpgradeCode = kEndpointUpgradeCode32;
constexpr const wchar_t* kEndpointUpgradeCodeWow64 = kEndpointUpgradeCode64;

// S_OK, or VEK_E_NOT_ADMIN with exitCode set to 17 (no OMBL installer for this system) or 19
// (the endpoint product is not installed).
HRESULT CheckOmblPrerequisites(const OmblPackage& package, const InstalledVersionQuery& installedVersion,
                               int32_t& exitCode);

} // namespace vek
