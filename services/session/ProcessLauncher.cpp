#include "services/session/ProcessLauncher.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "common/errors/qkLog.h"
#include "services/session/CStartupInfoMitigations.h"
#include "services/launcher/VekTokenMask.h"

namespace vek {

HRESULT ProcessLauncher::Launch(const wchar_t* commandLine, bool show)
{
    return Launch(nullptr, commandLine, show);
}

HRESULT ProcessLauncher::Launch(const wchar_t* application, const wchar_t* commandLine, bool show)
{
    if (commandLine == nullptr || *commandLine == L'\0')
        return E_INVALIDARG;
    CStartupInfoMitigations startup;
    const HRESULT created = startup.Create();
    if (FAILED(created)) {
        QK_LOG_ERROR(L"failed to set up StartupInfo for CreateProcess, hr=0x%08X", static_cast<unsigned>(created));
        return created;
    }
    STARTUPINFOW& info = startup.GetStartupInfo().StartupInfo;
    if (!show) {
        info.dwFlags |= STARTF_USESHOWWINDOW;
        info.wShowWindow = SW_HIDE;
    }
    std::vector<wchar_t> buffer(commandLine, commandLine + wcslen(commandLine) + 1);
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(application, buffer.data(), nullptr, nullptr, FALSE, startup.GetCreationFlags(), nullptr, nullptr,
                          &info, &started)) {
        const DWORD error = ::GetLastError();
        QK_LOG_ERROR(L"CreateProcessW failed for %ls, error %lu", MaskCommandLineToken(commandLine).c_str(), error);
        return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }
    m_process.Reset(started.hProcess);
    m_thread.Reset(started.hThread);
    m_processId = started.dwProcessId;
    m_threadId = started.dwThreadId;
    return S_OK;
}

DWORD ProcessLauncher::Wait(DWORD timeoutMs)
{
    return ::WaitForSingleObject(m_process.Get(), timeoutMs);
}

DWORD ProcessLauncher::GetExitCode()
{
    DWORD code = 0;
    if (!::GetExitCodeProcess(m_process.Get(), &code))
        throw std::runtime_error("GetExitCodeProcess() failed");
    return code;
}

} // namespace vek
