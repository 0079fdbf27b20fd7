#pragma once
// Control ids of the main dialog; the job windows give the footer text the focus by its id.
#include <windows.h>

namespace vek {

enum VekBaseUIControlId : UINT {
    kIdAction1 = 3303,
    kIdAction2 = 3304,
    kIdCloseButton = 3306,
    kIdMinimizeButton = 3307,
    kIdFooterClose = 3308,
    kIdFooterText = 3309,
    kIdLinkPackage = 3310,
    kIdLinkLeft = 3311,
    kIdLinkRight = 3312,
    kIdHeadline = 3320,
    kIdBody = 3321,
    kIdCaption = 3322,
    kIdGreenLine = 4322,
    kIdSecondBody = 4343,
    kIdSecondLine = 4344,
};

} // namespace vek
