// Names of the values that cross the security-status interface: status values (results),
// error codes (the error VARIANT) and operation codes (the command). Unlisted codes are "<unknown>".
#pragma once

#include <windows.h>

namespace PS_STATUS {

enum StatusValue : LONG {
    eStatusOff = 256,
    eStatusDisabled = 257,
    eStatusEnabled = 258,
    eStatusAttention = 259,
    eStatusInstalled = 260,
    eStatusExecuting = 261,
    eStatusNotExecuting = 262,
    eStatusFWSecurityLevelHigh = 267,
    eStatusFWSecurityLevelMedium = 268,
    eStatusFWSecurityLevelLow = 269,
    eStatusFWSecurityLevelCustom = 270,
    eStatusUnavailable = 271,
    eStatusGood = 272,
    eStatusFair = 273,
    eStatusPoor = 274,
    eStatusFixing = 275,
    eStatusWarning = 276,
    // Rows that name products of the family; the names are ours.
    eStatusFamilyProduct1 = 278,
    eStatusFamilyProduct2 = 279,
    eStatusFamilyProduct3 = 280,
    eStatusFamilyProduct4 = 297,
    eStatusFamilyProduct5 = 298,
    eStatusFamilyProduct6 = 305,
    eStatusFamilyProduct7 = 306,
    eStatusFamilyProduct8 = 311,
    eStatusFamilyProduct9 = 312,
    eStatusFamilyProduct10 = 313,
};

enum StatusError : LONG {
    eNoError = 0,
    eErrorAccessDenied = 1,
    eErrorIncompatible = 2,
    eErrorInvalidArg = 3,
    eErrorInternal = 4,
    eErrorNotInstalled = 5,
    eErrorInstallCorrupt = 6,
    eErrorInstallerExecuting = 8,
    eErrorNotConfigured = 9,
    eErrorUnknown = 10,
    eErrorPartner = 11,
    eALUAlreadyEnabled = 12,
    eDialogCancelled = 13,
    eErrorFWSLUnmapped = 14,
    eErrorScanNotCompleted = 15,
    eErrorScanAlreadyRunning = 16,
    eErrorNotSupported = 17,
    eErrorCfgWizIsRunning = 19,
    eErrorSystemInSafeMode = 21,
    eErrorAPAlreadyEnabled = 22,
    eErrorNotImplemented = 23,
    eErrorAlreadyEnabled = 24,
    eErrorFixWizardAlreadyRunning = 25,
    eErrorScheduleAlreadyExists = 26,
    eErrorNotAvailable = 27,
    eErrorAlreadyRunning = 29,
    eErrorActionNotPossible = 31,
};

// Operation codes; the console's menu number is code - eFirstOperation.
enum StatusOperation : LONG {
    eGetAPStatus = 512,
    eGetFWStatus = 513,
    eGetProductStatus = 514,
    eGetProductName = 515,
    eStartQuickScan = 517,
    eGetSDKVersion = 518,
    eFixFirewall = 519,
    eFixSpywareProtection = 520,
    eFixPhishingProtection = 521,
    eFixProduct = 522,
    eLaunchProductUI = 523,
    eGetLastScan = 524,
    eGetSpywareStatus = 525,
    eGetPhishingProtectionStatus = 526,
    eFixAutoProtect = 527,
    eStartFullScan = 528,
    eGetProductVersion = 529,
    eGetProductYear = 530,
    eGetProductInstalled = 531,
    eGetVirusdefsDate = 534,
    eGetVendorID = 536,
    eEnableSilentMode = 537,
    eGetThreatsDetectedCount = 538,
    eGetIntrusionsBlockedCount = 539,
    eTriggerALU = 541,
    eGetComputerCategoryStatus = 548,
    eGetNetworkCategoryStatus = 549,
    eGetWebCategoryStatus = 550,
    eGetBackupCategoryStatus = 551,
    eGetTuneupCategoryStatus = 552,
    eGetNegativeStatusItemList = 553,
    eGetSilentModeStatus = 555,
    eDisableSilentMode = 556,
    eGetPartnerID = 558,
    eGetPartnerUnitID = 559,
    eGetDisplayName = 565,
};

// The range the console lists and runs: menu numbers 0..54.
inline constexpr LONG eFirstOperation = 512;
inline constexpr LONG eLastOperation = 566;

} // namespace PS_STATUS

// Code -> constant name text, "<unknown>" for codes the tables do not list.
const wchar_t* StatusName(LONG value);
const wchar_t* ErrorName(LONG code);
const wchar_t* OperationName(LONG code);

inline constexpr wchar_t kUnknownName[] = L"<unknown>";
