// The three name tables, one switch each so that a code maps to its constant text.
#include "statusprobe/StatusNames.h"

#define PS_NAME(e)     \
    case PS_STATUS::e: \
        return L"PS_STATUS::" #e

const wchar_t* StatusName(LONG value)
{
    switch (value) {
        PS_NAME(eStatusOff);
        PS_NAME(eStatusDisabled);
        PS_NAME(eStatusEnabled);
        PS_NAME(eStatusAttention);
        PS_NAME(eStatusInstalled);
        PS_NAME(eStatusExecuting);
        PS_NAME(eStatusNotExecuting);
        PS_NAME(eStatusFWSecurityLevelHigh);
        PS_NAME(eStatusFWSecurityLevelMedium);
        PS_NAME(eStatusFWSecurityLevelLow);
        PS_NAME(eStatusFWSecurityLevelCustom);
        PS_NAME(eStatusUnavailable);
        PS_NAME(eStatusGood);
        PS_NAME(eStatusFair);
        PS_NAME(eStatusPoor);
        PS_NAME(eStatusFixing);
        PS_NAME(eStatusWarning);
        PS_NAME(eStatusFamilyProduct1);
        PS_NAME(eStatusFamilyProduct2);
        PS_NAME(eStatusFamilyProduct3);
        PS_NAME(eStatusFamilyProduct4);
        PS_NAME(eStatusFamilyProduct5);
        PS_NAME(eStatusFamilyProduct6);
        PS_NAME(eStatusFamilyProduct7);
        PS_NAME(eStatusFamilyProduct8);
        PS_NAME(eStatusFamilyProduct9);
        PS_NAME(eStatusFamilyProduct10);
    default:
        return kUnknownName;
    }
}

const wchar_t* ErrorName(LONG code)
{
    switch (code) {
        PS_NAME(eNoError);
        PS_NAME(eErrorAccessDenied);
        PS_NAME(eErrorIncompatible);
        PS_NAME(eErrorInvalidArg);
        PS_NAME(eErrorInternal);
        PS_NAME(eErrorNotInstalled);
        PS_NAME(eErrorInstallCorrupt);
        PS_NAME(eErrorInstallerExecuting);
        PS_NAME(eErrorNotConfigured);
        PS_NAME(eErrorUnknown);
        PS_NAME(eErrorPartner);
        PS_NAME(eALUAlreadyEnabled);
        PS_NAME(eDialogCancelled);
        PS_NAME(eErrorFWSLUnmapped);
        PS_NAME(eErrorScanNotCompleted);
        PS_NAME(eErrorScanAlreadyRunning);
        PS_NAME(eErrorNotSupported);
        PS_NAME(eErrorCfgWizIsRunning);
        PS_NAME(eErrorSystemInSafeMode);
        PS_NAME(eErrorAPAlreadyEnabled);
        PS_NAME(eErrorNotImplemented);
        PS_NAME(eErrorAlreadyEnabled);
        PS_NAME(eErrorFixWizardAlreadyRunning);
        PS_NAME(eErrorScheduleAlreadyExists);
        PS_NAME(eErrorNotAvailable);
        PS_NAME(eErrorAlreadyRunning);
        PS_NAME(eErrorActionNotPossible);
    default:
        return kUnknownName;
    }
}

const wchar_t* OperationName(LONG code)
{
    switch (code) {
        PS_NAME(eGetAPStatus);
        PS_NAME(eGetFWStatus);
        PS_NAME(eGetProductStatus);
        PS_NAME(eGetProductName);
        PS_NAME(eStartQuickScan);
        PS_NAME(eGetSDKVersion);
        PS_NAME(eFixFirewall);
        PS_NAME(eFixSpywareProtection);
        PS_NAME(eFixPhishingProtection);
        PS_NAME(eFixProduct);
        PS_NAME(eLaunchProductUI);
        PS_NAME(eGetLastScan);
        PS_NAME(eGetSpywareStatus);
        PS_NAME(eGetPhishingProtectionStatus);
        PS_NAME(eFixAutoProtect);
        PS_NAME(eStartFullScan);
        PS_NAME(eGetProductVersion);
        PS_NAME(eGetProductYear);
        PS_NAME(eGetProductInstalled);
        PS_NAME(eGetVirusdefsDate);
        PS_NAME(eGetVendorID);
        PS_NAME(eEnableSilentMode);
        PS_NAME(eGetThreatsDetectedCount);
        PS_NAME(eGetIntrusionsBlockedCount);
        PS_NAME(eTriggerALU);
        PS_NAME(eGetComputerCategoryStatus);
        PS_NAME(eGetNetworkCategoryStatus);
        PS_NAME(eGetWebCategoryStatus);
        PS_NAME(eGetBackupCategoryStatus);
        PS_NAME(eGetTuneupCategoryStatus);
        PS_NAME(eGetNegativeStatusItemList);
        PS_NAME(eGetSilentModeStatus);
        PS_NAME(eDisableSilentMode);
        PS_NAME(eGetPartnerID);
        PS_NAME(eGetPartnerUnitID);
        PS_NAME(eGetDisplayName);
    default:
        return kUnknownName;
    }
}
