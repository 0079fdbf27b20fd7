#pragma once
// The images and strings of the job window, by id in the program's resources.
#include "ui/res/VekResourceIds.h"
#include "ui/res/VekStringIds.h"

namespace vek::jobui {

// Images.
inline constexpr int kPngStatus = IDR_PNG_LOGO;
inline constexpr int kPngAlert = IDR_PNG_ALERT;
inline constexpr int kPngBarPlaceholder = IDR_PNG_BANNER;
inline constexpr int kPngFurther = IDR_PNG_FOOTER;
inline constexpr int kPngButton = IDR_PNG_BUTTON;
inline constexpr int kPngButtonPushed = IDR_PNG_BUTTON_PUSHED;
inline constexpr int kPngButtonHover = IDR_PNG_BUTTON_HOVER;
inline constexpr int kPngButtonDisabled = IDR_PNG_BUTTON_DISABLED;

// Strings (those other windows load too are in ui/res/VekStringIds.h).
enum : int {
    kStrGigabytes = 140,
    kStrMegabytes = 129,
    kStrKilobytes = 137,
    kStrBytes = 139,
    kStrValidating = 141,
    kStrInstallErrorRetry = 154,
    kStrTryDifferentMethod = 178,
    kStrDownloadProblem = 179,
    kStrClickHere = 182,
    kStrRestartNow = 184,
    kStrRestartLater = 185,
    kStrCancelInstall = 186,
    kStrToActivate = 190,
    kStrActivated = 191,
    kStrInstalling = 221,
    kStrFatalError = 224,
    kStrPreparingPackage = 225,
    kStrDownloading = 226,
    kStrPauseDownload = 228,
    kStrResumeDownload = 231,
    kStrClickRetry = 238,
    kStrRetry = 239,
    kStrWaitingForRestart = 240,
    kStrRestartForUninstall = 241,
    kStrSupportPage = 283,
    kStrActivationPage = 284,
    kStrResuming = 288,
    kStrFilesError = 289,
    kStrDiskFull = 290,
    kStrCancelDownload = 291,
    kStrArchiving = 303,
    kStrDownloadedPercent = 314,
    kStrCalculating = 315,
    kStrSizeOfSizeRemaining = 317,
    kStrUpgradeStartsIn = 322,
    kStrUpgradeNeedsRestart = 323,
    kStrUpgradeReady = 324,
    kStrUpgradeNow = 325,
    kStrRestartDescription = 326,
    kStrRestartIn = 327,
    kStrCancel = 328,
    kStrUpgradeFailedTitle = 331,
    kStrUpgradeFailed = 332,
    kStrUpgradeFailedRetry = 333,
    kStrUninstalling = 343,
    kStrRestartAndUpgrade = 349,
    kStrRestartAndUpgradeDescription = 350,
};

} // namespace vek::jobui
