#include "engine/launcher/VekInstanceWait.h"

#include "common/base/qkExceptionInfo.h"
#include "common/errors/qkLog.h"
#include "common/system/qkFolderTrust.h"
#include "common/system/qkRegistry.h"
#include "engine/launcher/VekSwitches.h"
#include "services/launcher/VekRegistryNames.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekTools.h"
#include "services/launcher/VekUtil.h"

namespace vek {

namespace {

constexpr REGSAM kFailureCountAccess = 0x2001F; // KEY_READ | KEY_WRITE

// A lock file that another process holds open; anything else means the lock cannot be made.
bool IsContention(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

} // namespace

VekInstanceWait::VekInstanceWait(VekSingleInstance& guard, HKEY registryRoot, ErrorReporter reporter)
    : m_guard(guard),
      m_registryRoot(registryRoot),
      m_reporter(std::move(reporter)),
      m_pause([](DWORD milliseconds) { ::Sleep(milliseconds); })
{}

HRESULT VekInstanceWait::canRun(const wchar_t* manifestId)
{
    return canRun(manifestId, VekTools::hasCmdSwitch(switches::SILENT) || VekTools::hasCmdSwitch(switches::RELAUNCHED));
}

HRESULT VekInstanceWait::canRun(const wchar_t* manifestId, bool longWait)
{
    if (manifestId == nullptr) {
        return E_INVALIDARG;
    }
    std::wstring folder = m_dataFolder;
    if (folder.empty()) {
        GetCommonAppDataPath(folder, L"");
    }
    if (folder.empty()) {
        QK_LOG_ERROR(L"Failed to get log path");
        return E_UNEXPECTED;
    }
    // A data folder that another user could have redirected holds no lock of ours. Whoever owns
    // it, the lock folder and file in it are opened as themselves and checked.
    const HRESULT refused = qkFolderTrust::RefuseLink(folder);
    if (FAILED(refused)) {
        return refused;
    }

    const DWORD wait = longWait ? kLongWaitSeconds : kWaitSeconds;
    if (longWait) {
        QK_LOG_INFO(L"SILENT or restarted wait 60 secs for previous instance");
    } else {
        QK_LOG_INFO(L"Waiting for previous instance %d sec", static_cast<int>(wait));
    }

    // At most wait + 1 attempts, a pause after each failed one.
    DWORD failures = 0;
    do {
        if (m_guard.CreateInFolder(folder.c_str(), manifestId, qkSingleInstance::kGlobal)) {
            return S_OK;
        }
        const DWORD error = m_guard.GetLastError();
        if (!IsContention(error)) {
            QK_LOG_ERROR(L"Unable to create the instance lock %s in %s, error %lu", manifestId, folder.c_str(), error);
            return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
        }
        ++failures;
        m_pause(kRetryPauseMs);
    } while (failures <= wait);

    if (!incrementFailureCount(manifestId) && m_reporter) {
        m_reporter(VEK_E_INSTANCE_WAIT, true, std::wstring());
    }
    if (m_reporter) {
        m_reporter(VEK_E_ANOTHER_INSTANCE, true, L"0");
    }
    return VEK_E_ANOTHER_INSTANCE;
}

bool VekInstanceWait::incrementFailureCount(const wchar_t* manifestId)
{
    if (manifestId == nullptr) {
        return false;
    }
    qkExceptionInfo info;
    try {
        const std::wstring path = std::wstring(kVekRegistryKey) + L"\\" + manifestId;
        qkRegistry key;
        if (!key.OpenKey(m_registryRoot, path.c_str(), kFailureCountAccess, TRUE)) {
            QK_LOG_ERROR(L"Unable to open %s, hr=0x%08X", path.c_str(),
                         static_cast<unsigned>(HRESULT_FROM_WIN32(key.GetLastError())));
            return false;
        }
        DWORD count = 0;
        count = key.GetDWORDValue(kFailureCountValue, count) ? count + 1 : 0;
        if (!key.SetDWORDValue(kFailureCountValue, count)) {
            const DWORD error = key.GetLastError();
            QK_LOG_ERROR(L"Unable to write %s to %s, hr=0x%08X", kFailureCountValue, path.c_str(),
                         static_cast<unsigned>(HRESULT_FROM_WIN32(error)));
            if (m_reporter) {
                m_reporter(VEK_E_FAILURE_COUNT, false, std::to_wstring(error));
            }
            return false;
        }
        return true;
    }
    QK_CATCH(info)
    QK_LOG_ERROR(L"Counting the failed wait failed: %s", info.GetMessage());
    return false;
}

} // namespace vek
