#pragma once
// The single-instance lock file's access list: Everyone is denied WRITE_DAC and WRITE_OWNER,
// then allowed everything.
#include "common/system/qkDACL.h"

class qkLockFileDACL : public qkDACL {
public:
    bool AddEntries() override;
};
