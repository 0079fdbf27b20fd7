#include "services/launcher/VekRepairTrustSystem.h"

#include "common/system/qkResourceHolders.h"

#include "common/base/qkException.h"
#include "common/errors/qkLog.h"
#include "common/system/FileEnsureAccess.h"
#include "common/system/qkHandle.h"
#include "common/system/qkModule.h"

#include <shlobj.h>

#include <algorithm>
#include <memory>
#include <string>
#include <type_traits>

namespace vek {

namespace {


constexpr DWORD kFolderAccess = 0x00010047; // DELETE and the basic file rights

HMODULE LoadFromSystemFolder(const wchar_t* name)
{
    return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

void EnsureAppDataAccess()
{
    wchar_t folder[MAX_PATH] = {};
    const HRESULT hr = ::SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"SHGetFolderPath(CSIDL_APPDATA) failed, hr=0x%08X", static_cast<unsigned>(hr));
        return;
    }
    // The object, the folders below it and the files below it.
    const qkAccessDescription access{{kFolderAccess, kFolderAccess, kFolderAccess}, {0, 0, 0}};
    try {
        qkLib::FileEnsureAccess(folder, nullptr, SE_FILE_OBJECT, access);
        // The same for the token's user named explicitly.
        HANDLE rawToken = nullptr;
        if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
            const qkHandle token(rawToken);
            BYTE buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)] = {};
            DWORD size = sizeof(buffer);
            if (::GetTokenInformation(token.Get(), TokenUser, buffer, size, &size))
                qkLib::FileEnsureAccess(folder, nullptr, SE_FILE_OBJECT, access,
                                        reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
        }
    } catch (const qkException& e) {
        QK_LOG_ERROR(L"FileEnsureAccess threw an exception: %d", static_cast<int>(e.GetResult()));
    }
}

// Stops the running service and waits while it is stopping, as long as it makes progress.
void StopService(SC_HANDLE service, SERVICE_STATUS& status)
{
    if (!::ControlService(service, SERVICE_CONTROL_STOP, &status) && !::QueryServiceStatus(service, &status))
        return;
    DWORD checkPoint = status.dwCheckPoint;
    DWORD progressAt = ::GetTickCount();
    while (status.dwCurrentState == SERVICE_STOP_PENDING) {
        ::Sleep(std::clamp<DWORD>(status.dwWaitHint / 10, 1000, 10000));
        if (!::QueryServiceStatus(service, &status))
            break;
        if (status.dwCheckPoint > checkPoint) {
            checkPoint = status.dwCheckPoint;
            progressAt = ::GetTickCount();
        } else if (::GetTickCount() - progressAt > status.dwWaitHint) {
            break;
        }
    }
    if (status.dwCurrentState != SERVICE_STOPPED)
        QK_LOG_ERROR(L"failed to stop CryptSvc");
}

using RegistrationEntry = HRESULT(STDAPICALLTYPE*)();

// Calls the export of every DLL in order; false when any of them gave a negative result.
bool CallEach(const TrustRepairPlan& plan, const char* exportName)
{
    const std::wstring exportText(exportName, exportName + std::char_traits<char>::length(exportName));
    bool allSucceeded = true;
    for (const std::wstring& name : plan.dlls) {
        qkModule module(plan.load ? plan.load(name.c_str()) : nullptr);
        if (module.Get() == nullptr) {
            QK_LOG_WARNING(L"Cannot load %s for %s, error %lu", name.c_str(), exportText.c_str(), ::GetLastError());
            continue;
        }
        const auto entry = module.GetProc<RegistrationEntry>(exportName);
        if (entry == nullptr)
            continue;
        const HRESULT hr = entry();
        if (FAILED(hr)) {
            QK_LOG_WARNING(L"%s of %s failed, hr=0x%08X", exportText.c_str(), name.c_str(), static_cast<unsigned>(hr));
            allSucceeded = false;
        }
    }
    return allSucceeded;
}

} // namespace

TrustRepairPlan TrustRepairPlan::System()
{
    TrustRepairPlan plan;
    plan.dlls = {L"softpub.dll", L"wintrust.dll", L"initpki.dll", L"dssenh.dll",  L"rsaenh.dll",
                 L"gpkcsp.dll",  L"sccbase.dll",  L"slbcsp.dll",  L"mssip32.dll", L"cryptdlg.dll"};
    plan.load = &LoadFromSystemFolder;
    plan.serviceName = L"CryptSvc";
    return plan;
}

BOOL RepairTrustSystem()
{
    return RepairTrustSystem(TrustRepairPlan::System());
}

BOOL RepairTrustSystem(const TrustRepairPlan& plan)
{
    if (plan.ensureAppDataAccess)
        EnsureAppDataAccess();

    qkServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    qkServiceHandle service;
    if (!manager)
        QK_LOG_WARNING(L"OpenSCManager failed, error %lu", ::GetLastError());
    else {
        service.Reset(
            ::OpenServiceW(manager.Get(), plan.serviceName.c_str(), GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE));
        if (!service)
            QK_LOG_WARNING(L"OpenService %s failed, error %lu", plan.serviceName.c_str(), ::GetLastError());
    }
    SERVICE_STATUS status = {};
    if (service && ::QueryServiceStatus(service.Get(), &status) && status.dwCurrentState == SERVICE_RUNNING)
        StopService(service.Get(), status);

    CallEach(plan, "DllUnregisterServer");
    const bool registered = CallEach(plan, "DllRegisterServer");

    if (service && ::QueryServiceStatus(service.Get(), &status) && status.dwCurrentState != SERVICE_RUNNING &&
        !::StartServiceW(service.Get(), 0, nullptr))
        QK_LOG_ERROR(L"failed to start CryptSvc %d", static_cast<int>(::GetLastError()));
    return registered ? TRUE : FALSE;
}

} // namespace vek
