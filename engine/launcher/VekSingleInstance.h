#pragma once
// The launcher's single-instance guard: the common library's lock file, kept in a folder given
// at creation (the launcher's data folder) instead of the library's own.
#include "common/system/qkSingleInstance.h"

#include <string>

namespace vek {

class VekSingleInstance : public qkSingleInstance {
public:
    // Stores the folder and takes the lock "<folder>\_lck\_<name>G" (mode 1) or per session.
    BOOL CreateInFolder(const wchar_t* folder, const wchar_t* name, DWORD mode);
    // The stored folder; FALSE while it is empty.
    BOOL GetLockFolder(std::wstring& folder) override;

private:
    std::wstring m_folder;
};

// The process-wide guard; its lock file closes when the process ends.
extern VekSingleInstance g_SingleInstance;

} // namespace vek
