#pragma once
// An access list for administrators and the system: Everyone is denied DELETE, WRITE_DAC and
// WRITE_OWNER; Administrators and Local System are allowed everything.
#include "common/system/qkDACL.h"

class qkAdministratorDACL : public qkDACL {
public:
    bool AddEntries() override;
};
