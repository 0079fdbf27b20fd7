#pragma once
// The launcher milestones that the status reporter posts, each sent by its name.
#include <map>
#include <string>

namespace vek {

enum StatusEvent : int {
    VEK_STARTED = 0,
    VEK_FINISHED = 1,
    BOOTSTRAP_FAILED = 2,
    DOWNLOAD_STARTED = 3,
    DOWNLOAD_FAILED = 4,
    DOWNLOAD_FAILED_PROXY_ISSUE = 5,
    DOWNLOAD_FINISHED = 6,
    INSTALLER_STARTED = 7,
    INSTALLER_FAILED = 8,
    INSTALLER_FINISHED = 9,
    QOR_UNINSTALL_FAILED = 10,
    QOR_DETECTED = 11,
    UPGRADE_NOTIFICATION_SHOWN = 12,
    REBOOT_REQUIRED_NOTIFICATION_SHOWN = 13,
    REBOOT_REQUIRED_TO_CONTINUE = 14,
    WINDOWS_RESTART_INITIATED = 15,
    QZ_PLUGIN_FAILED = 16,
    REENROLLMENT_INITIATED = 17,
    BACKEND_CHECK_FAILED = 18,
    // There is no code 19.
    RESTART_UPGRADE_NOTIFICATION_SHOWN = 20,
    PRECHECK_INSTALL_IN_PROGRESS = 21,
};

// The 21 names by code.
std::map<int, std::wstring> StatusEventNames();

} // namespace vek
