#pragma once
// Owner of one Windows Installer handle (database, view or record): MsiCloseHandle when it is
// reset or destroyed.
#include "common/system/qkUniqueResource.h"

#include <windows.h>
#include <msi.h>

namespace qkLib::release {
inline void MsiHandle(MSIHANDLE handle)
{
    ::MsiCloseHandle(handle);
}
} // namespace qkLib::release

using CMsiHandle = qkUniqueResource<MSIHANDLE, &qkLib::release::MsiHandle>;
