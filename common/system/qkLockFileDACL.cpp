#include "common/system/qkLockFileDACL.h"

#include "common/base/qkTrace.h"

bool qkLockFileDACL::AddEntries()
{
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(everyone);
    if (!::CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size)) {
        QK_TRACE(L"CreateWellKnownSid : %lu", ::GetLastError());
        return false;
    }
    return AddDenied(everyone, WRITE_DAC | WRITE_OWNER) && AddAllowed(everyone, GENERIC_ALL);
}
