// The name tables as the interface documents them; the tests compare StatusProbe's output
// against these, not against the program's own tables.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace probe_test {

using NameTable = std::vector<std::pair<long, std::string>>;

// The last ten rows are the family product rows, whose names are this program's choice.
inline const NameTable kStatusNames = {
    {256, "PS_STATUS::eStatusOff"},
    {257, "PS_STATUS::eStatusDisabled"},
    {258, "PS_STATUS::eStatusEnabled"},
    {259, "PS_STATUS::eStatusAttention"},
    {260, "PS_STATUS::eStatusInstalled"},
    {261, "PS_STATUS::eStatusExecuting"},
    {262, "PS_STATUS::eStatusNotExecuting"},
    {267, "PS_STATUS::eStatusFWSecurityLevelHigh"},
    {268, "PS_STATUS::eStatusFWSecurityLevelMedium"},
    {269, "PS_STATUS::eStatusFWSecurityLevelLow"},
    {270, "PS_STATUS::eStatusFWSecurityLevelCustom"},
    {271, "PS_STATUS::eStatusUnavailable"},
    {272, "PS_STATUS::eStatusGood"},
    {273, "PS_STATUS::eStatusFair"},
    {274, "PS_STATUS::eStatusPoor"},
    {275, "PS_STATUS::eStatusFixing"},
    {276, "PS_STATUS::eStatusWarning"},
    {278, "PS_STATUS::eStatusFamilyProduct1"},
    {279, "PS_STATUS::eStatusFamilyProduct2"},
    {280, "PS_STATUS::eStatusFamilyProduct3"},
    {297, "PS_STATUS::eStatusFamilyProduct4"},
    {298, "PS_STATUS::eStatusFamilyProduct5"},
    {305, "PS_STATUS::eStatusFamilyProduct6"},
    {306, "PS_STATUS::eStatusFamilyProduct7"},
    {311, "PS_STATUS::eStatusFamilyProduct8"},
    {312, "PS_STATUS::eStatusFamilyProduct9"},
    {313, "PS_STATUS::eStatusFamilyProduct10"},
};

inline const NameTable kErrorNames = {
    {0, "PS_STATUS::eNoError"},
    {1, "PS_STATUS::eErrorAccessDenied"},
    {2, "PS_STATUS::eErrorIncompatible"},
    {3, "PS_STATUS::eErrorInvalidArg"},
    {4, "PS_STATUS::eErrorInternal"},
    {5, "PS_STATUS::eErrorNotInstalled"},
    {6, "PS_STATUS::eErrorInstallCorrupt"},
    {8, "PS_STATUS::eErrorInstallerExecuting"},
    {9, "PS_STATUS::eErrorNotConfigured"},
    {10, "PS_STATUS::eErrorUnknown"},
    {11, "PS_STATUS::eErrorPartner"},
    {12, "PS_STATUS::eALUAlreadyEnabled"},
    {13, "PS_STATUS::eDialogCancelled"},
    {14, "PS_STATUS::eErrorFWSLUnmapped"},
    {15, "PS_STATUS::eErrorScanNotCompleted"},
    {16, "PS_STATUS::eErrorScanAlreadyRunning"},
    {17, "PS_STATUS::eErrorNotSupported"},
    {19, "PS_STATUS::eErrorCfgWizIsRunning"},
    {21, "PS_STATUS::eErrorSystemInSafeMode"},
    {22, "PS_STATUS::eErrorAPAlreadyEnabled"},
    {23, "PS_STATUS::eErrorNotImplemented"},
    {24, "PS_STATUS::eErrorAlreadyEnabled"},
    {25, "PS_STATUS::eErrorFixWizardAlreadyRunning"},
    {26, "PS_STATUS::eErrorScheduleAlreadyExists"},
    {27, "PS_STATUS::eErrorNotAvailable"},
    {29, "PS_STATUS::eErrorAlreadyRunning"},
    {31, "PS_STATUS::eErrorActionNotPossible"},
};

inline const NameTable kOperationNames = {
    {512, "PS_STATUS::eGetAPStatus"},
    {513, "PS_STATUS::eGetFWStatus"},
    {514, "PS_STATUS::eGetProductStatus"},
    {515, "PS_STATUS::eGetProductName"},
    {517, "PS_STATUS::eStartQuickScan"},
    {518, "PS_STATUS::eGetSDKVersion"},
    {519, "PS_STATUS::eFixFirewall"},
    {520, "PS_STATUS::eFixSpywareProtection"},
    {521, "PS_STATUS::eFixPhishingProtection"},
    {522, "PS_STATUS::eFixProduct"},
    {523, "PS_STATUS::eLaunchProductUI"},
    {524, "PS_STATUS::eGetLastScan"},
    {525, "PS_STATUS::eGetSpywareStatus"},
    {526, "PS_STATUS::eGetPhishingProtectionStatus"},
    {527, "PS_STATUS::eFixAutoProtect"},
    {528, "PS_STATUS::eStartFullScan"},
    {529, "PS_STATUS::eGetProductVersion"},
    {530, "PS_STATUS::eGetProductYear"},
    {531, "PS_STATUS::eGetProductInstalled"},
    {534, "PS_STATUS::eGetVirusdefsDate"},
    {536, "PS_STATUS::eGetVendorID"},
    {537, "PS_STATUS::eEnableSilentMode"},
    {538, "PS_STATUS::eGetThreatsDetectedCount"},
    {539, "PS_STATUS::eGetIntrusionsBlockedCount"},
    {541, "PS_STATUS::eTriggerALU"},
    {548, "PS_STATUS::eGetComputerCategoryStatus"},
    {549, "PS_STATUS::eGetNetworkCategoryStatus"},
    {550, "PS_STATUS::eGetWebCategoryStatus"},
    {551, "PS_STATUS::eGetBackupCategoryStatus"},
    {552, "PS_STATUS::eGetTuneupCategoryStatus"},
    {553, "PS_STATUS::eGetNegativeStatusItemList"},
    {555, "PS_STATUS::eGetSilentModeStatus"},
    {556, "PS_STATUS::eDisableSilentMode"},
    {558, "PS_STATUS::eGetPartnerID"},
    {559, "PS_STATUS::eGetPartnerUnitID"},
    {565, "PS_STATUS::eGetDisplayName"},
};

} // namespace probe_test
