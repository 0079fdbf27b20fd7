#include "common/system/qkAdministratorDACL.h"

#include "common/base/qkTrace.h"

bool qkAdministratorDACL::AddEntries()
{
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    BYTE admins[SECURITY_MAX_SID_SIZE];
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(everyone);
    bool ok = ::CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size) &&
              AddDenied(everyone, DELETE | WRITE_DAC | WRITE_OWNER);
    if (!ok)
        QK_TRACE(L"cannot add the Everyone entry : %lu", ::GetLastError());
    size = sizeof(admins);
    bool adminsOk =
        ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size) && AddAllowed(admins, GENERIC_ALL);
    if (!adminsOk)
        QK_TRACE(L"cannot add the Administrators entry : %lu", ::GetLastError());
    size = sizeof(system);
    bool systemOk = ::CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size) && AddAllowed(system, GENERIC_ALL);
    if (!systemOk)
        QK_TRACE(L"cannot add the Local System entry : %lu", ::GetLastError());
    return ok && adminsOk && systemOk;
}
