#include "engine/manifest/COSVersionInfo.h"

#include "common/errors/qkLog.h"
#include "common/system/qkOSInfo.h"

namespace vek {

bool COSVersionInfo::IsServer()
{
    return qkOSInfo::IsServer() != FALSE;
}

bool COSVersionInfo::IsNotWow64()
{
    return qkOSInfo::IsNotWow64() != FALSE;
}

bool COSVersionInfo::IsBuild(DWORD build, bool orGreater)
{
    return qkOSInfo::IsBuild(build, orGreater ? TRUE : FALSE) != FALSE;
}

std::wstring COSVersionInfo::GetSystemLocaleName()
{
    wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
    if (::GetSystemDefaultLocaleName(name, LOCALE_NAME_MAX_LENGTH) == 0) {
        QK_LOG_ERROR(L"GetSystemDefaultLocaleName() failed, error %lu", ::GetLastError());
        return {};
    }
    return name;
}

} // namespace vek
