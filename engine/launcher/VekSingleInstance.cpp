#include "engine/launcher/VekSingleInstance.h"

#include "common/base/qkExceptionInfo.h"

namespace vek {

VekSingleInstance g_SingleInstance;

BOOL VekSingleInstance::CreateInFolder(const wchar_t* folder, const wchar_t* name, DWORD mode)
{
    qkExceptionInfo info;
    try {
        m_folder = folder != nullptr ? folder : L"";
    }
    QK_CATCH(info)
    if (info.HasError()) {
        return FALSE;
    }
    return Create(name, mode);
}

BOOL VekSingleInstance::GetLockFolder(std::wstring& folder)
{
    if (m_folder.empty()) {
        return FALSE;
    }
    folder = m_folder;
    return TRUE;
}

} // namespace vek
