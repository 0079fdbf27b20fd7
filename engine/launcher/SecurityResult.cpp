#include "engine/launcher/SecurityResult.h"

#include "common/errors/qkLog.h"

void SecurityResult::LogResult() const
{
    if (!needed) {
        QK_LOG_INFO(L"Mitigation %s wasn't needed on this machine", name.c_str());
    } else if (!available) {
        QK_LOG_INFO(L"Mitigation %s was needed on this machine but was unavailable", name.c_str());
    } else if (SUCCEEDED(result)) {
        QK_LOG_INFO(L"Mitigation %s was successfully applied -- %s", name.c_str(), message.c_str());
    } else {
        QK_LOG_ERROR(L"Mitigation %s failed - hr=0x%08X  - %s", name.c_str(), static_cast<unsigned>(result),
                     message.c_str());
    }
}
