#include "services/companion/WOXWrapper.h"

#include "common/errors/qkLog.h"
#include "common/system/qkCommandLine.h"
#include "common/system/qkHandle.h"
#include "common/system/qkModule.h"
#include "services/companion/CWoxManifestView.h"
#include "services/companion/WoxCommandLine.h"
#include "services/launcher/VekTools.h"
#include "services/launcher/VekUtil.h"
#include "services/session/Tolk_UtilsHelper.h"
#include "services/session/UserLaunch.h"
#include "services/trust/CLockedFileVerifier.h"
#include "services/trust/CSignerSubjectCheck.h"
#include "services/trust/InstallResourceCertificates.h"

#include <objbase.h>

#include <vector>

namespace {

// The package families of the system's package manager.
constexpr UINT32 kPackageFilterHead = 0x00000010;
constexpr UINT32 kPackageFilterDirect = 0x00000020;
using FindPackagesByPackageFamilyFn = LONG(WINAPI*)(PCWSTR family, UINT32 filters, UINT32* count, PWSTR* fullNames,
                                                    UINT32* bufferLength, WCHAR* buffer, UINT32* properties);

// The side-loading policy is the system's own setting: the 64-bit view on a 64-bit system.
constexpr REGSAM kSideLoadAccess = KEY_ALL_ACCESS | KEY_WOW64_64KEY;

std::wstring Join(const std::wstring& folder, const std::wstring& name)
{
    if (folder.empty())
        return name;
    return folder.back() == L'\\' ? folder + name : folder + L"\\" + name;
}

std::wstring Text(const nlohmann::json& node, const char* name)
{
    if (!node.is_object())
        return {};
    const auto found = node.find(name);
    return found != node.end() && found->is_string() ? vek::FromUtf8(found->get<std::string>()) : std::wstring();
}

// A plain Win32 error from the session launcher becomes an HRESULT; HRESULTs stay.
HRESULT AsHResult(LONG result)
{
    return (result > 0 && result <= 0xFFFF) ? HRESULT_FROM_WIN32(static_cast<DWORD>(result))
                                            : static_cast<HRESULT>(result);
}

} // namespace

WOXWrapper::WOXWrapper() : WOXWrapper(Options{}) {}

WOXWrapper::WOXWrapper(Options options) : m_options(std::move(options))
{
    m_api = m_options.api ? m_options.api : vek::GetDefaultWinApi();
    m_registry = m_options.registry ? m_options.registry : std::make_shared<vek::CRegistryKeyFactory>();
    m_msi = m_options.msi ? m_options.msi : std::make_shared<CMsiUtils>();
    m_manifest = m_options.manifest ? m_options.manifest : std::make_shared<vek::CWoxManifestView>();
    if (!m_options.task)
        m_options.task = std::make_shared<vek::CWoxInstallationTask>();
    if (m_options.launcherPath.empty())
        vek::GetModulePath(nullptr, m_options.launcherPath);
}

WOXWrapper::~WOXWrapper()
{
    DisableSideLoading();
}

bool WOXWrapper::HasSwitch(const wchar_t* name) const
{
    if (m_options.commandLine.empty())
        return VekTools::hasCmdSwitch(name);
    qkCommandLine commandLine;
    commandLine.Parse(m_options.commandLine.c_str());
    return VekTools::hasCmdSwitch(commandLine, name);
}

HRESULT WOXWrapper::Install(const wchar_t* packageFolder, bool firstRun)
{
    const std::wstring folder = packageFolder ? packageFolder : L"";
    QK_LOG_INFO(L"WOXWrapper - installation started, woxbundle %s", folder.c_str());

    nlohmann::json document;
    const HRESULT loaded = vek::LoadManifest(m_options.launcherPath.c_str(), document);
    if (FAILED(loaded) || document.is_null()) {
        QK_LOG_WARNING(L"Unable to load manifest during checking WOX pre-requisites");
    } else {
        m_document = std::move(document);
        m_manifest->init(m_document);
        m_manifest->prepare();
    }

    if (firstRun) {
        if (!HasSwitch(L"IMAGE")) {
            QK_LOG_INFO(L"Schedule WOX installation task");
            CreateInstallationTask(folder);
        } else {
            QK_LOG_INFO(L"/IMAGE specified, do not create WOX installation task");
        }
        WriteInstallationStamp();
    } else {
        QK_LOG_INFO(L"executed from installation task");
        if (!IsEndpointProductInstalled()) {
            QK_LOG_INFO(L"QOR not installed, do not execute WOX install");
            return S_OK;
        }
        if (!IsInstallationStampSet()) {
            QK_LOG_INFO(L"Global installation stamp not set exit");
            return S_OK;
        }
    }

    if (!VekTools::hasUserSessions()) {
        QK_LOG_INFO(L"no user session is available, WOX will be installed on user logon");
        return S_OK;
    }
    if (IsPackageFamilyInstalled(m_options.sideLoadedFamily.c_str(), true)) {
        QK_LOG_INFO(L"SideLoad version of WOXApp already installed");
        return S_OK;
    }
    if (IsPackageFamilyInstalled(m_options.storeFamily.c_str(), true)) {
        QK_LOG_INFO(L"AppStore version of WOXApp already installed");
        return S_OK;
    }

    nlohmann::json bundleEntry, installerEntry;
    const bool hasBundle = m_manifest->findFile("wox", "job_installer", bundleEntry);
    const bool hasInstaller = m_manifest->findFile("wox", "wox_installer", installerEntry);
    if (!hasBundle && !hasInstaller) {
        QK_LOG_ERROR(L"WOX file absent in manifest");
        return E_UNEXPECTED;
    }
    const std::wstring bundle = Join(folder, Text(bundleEntry, "destination_file"));
    const std::wstring installer = Join(folder, Text(installerEntry, "destination_file"));

    const nlohmann::json validation =
        bundleEntry.is_object() ? bundleEntry.value("validation", nlohmann::json()) : nlohmann::json();
    const std::wstring subject = Text(validation, "subj");
    vek::CSignerSubjectCheck signer(bundle.c_str());
    HRESULT hr = signer.Check(subject.c_str());
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Validation of appxbundle failed, hr=0x%08X", static_cast<unsigned>(hr));
        m_installerResult = hr;
        return hr;
    }
    // Held open until the installer has run, so that the verified file is the one that runs.
    CLockedFileVerifier verifier;
    hr = verifier.VerifyFile(installer.c_str(), true);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Validation of WOXInstaller failed, hr=0x%08X", static_cast<unsigned>(hr));
        m_installerResult = hr;
        return hr;
    }

    QK_LOG_INFO(L"enable sideload and import certificate");
    EnableSideLoading();
    hr = vek::InstallResourceCertificates(nullptr, kCertificateResource, L"TrustedPeople");
    if (FAILED(hr))
        QK_LOG_WARNING(L"Unable to import the WOX certificate into TrustedPeople, hr=0x%08X",
                       static_cast<unsigned>(hr));

    std::vector<std::wstring> dependencies;
    m_manifest->getWoxDependencyFiles(dependencies);
    std::wstring commandLine;
    if (!vek::BuildWoxInstallerCommandLine(installer, bundle, HasSwitch(L"IMAGE"),
                                           firstRun || HasSwitch(L"FORCE_LOGGING"), dependencies, commandLine)) {
        QK_LOG_ERROR(L"A WOX file name holds a double quote; the installer is not started");
        m_installerResult = E_INVALIDARG;
        return E_INVALIDARG;
    }

    DWORD exitCode = 0;
    const HRESULT result = RunInstaller(commandLine, exitCode);
    m_installerResult = result;
    m_installerExitCode = exitCode;
    QK_LOG_INFO(L"WOX installer finished with %d, %d", static_cast<int>(result), static_cast<int>(exitCode));
    if (result == S_OK && exitCode == 0)
        QK_LOG_INFO(L"Install succeeded or not required");
    else
        QK_LOG_ERROR(L"WOX not installed, see WOX installer logs");
    return FAILED(result) ? result : static_cast<HRESULT>(exitCode);
}

HRESULT WOXWrapper::RunInstaller(const std::wstring& commandLine, DWORD& exitCode)
{
    exitCode = 0;
    if (VekTools::isRunningAsSystem()) {
        QK_LOG_INFO(L"Start WOX installer with right of user");
        UserLaunch launch(m_api);
        // The user of any session, taken from the session list: the console session may have no
        // user while the only user is on a remote or disconnected session.
        const HRESULT initialized = launch.Initialize(true, false, true);
        QK_LOG_INFO(L"UserLaunch initialize %d", static_cast<int>(initialized));
        if (initialized != S_OK)
            return FAILED(initialized) ? initialized : E_FAIL;
        const HRESULT launched = launch.Launch(commandLine.c_str(), false, true);
        if (launched != S_OK) {
            QK_LOG_ERROR(L"Unable to start the WOX installer as the user, hr=0x%08X", static_cast<unsigned>(launched));
            return FAILED(launched) ? launched : E_FAIL;
        }
        launch.Wait(INFINITE);
        exitCode = launch.GetExitCode();
        return S_OK;
    }

    QK_LOG_INFO(L"Start WOX installer with current process right");
    Tolk::CSessionLauncher launcher(m_api);
    launcher.SetShowWindow(true);
    const LONG started = launcher.Start(commandLine.c_str(), CurrentUser, false);
    if (started != 0) {
        QK_LOG_ERROR(L"Unable to start the WOX installer, error %ld", started);
        return AsHResult(started);
    }
    launcher.Wait(INFINITE);
    HANDLE duplicate = launcher.DuplicateProcessHandle();
    if (duplicate == INVALID_HANDLE_VALUE || duplicate == nullptr) {
        const DWORD error = ::GetLastError();
        QK_LOG_ERROR(L"Unable to read the WOX installer's exit code, error %lu", error);
        return HRESULT_FROM_WIN32(error != 0 ? error : ERROR_INVALID_HANDLE);
    }
    qkHandle process(duplicate);
    if (!m_api->GetExitCodeProcess(process.Get(), &exitCode)) {
        const DWORD error = ::GetLastError();
        QK_LOG_ERROR(L"Unable to read the WOX installer's exit code, error %lu", error);
        return HRESULT_FROM_WIN32(error);
    }
    return S_OK;
}

void WOXWrapper::CreateInstallationTask(const std::wstring& folder)
{
    std::wstring arguments;
    if (!vek::BuildWoxTaskArguments(folder, arguments)) {
        QK_LOG_ERROR(L"The WOX package folder holds a double quote; no activation task");
        return;
    }
    QK_LOG_INFO(L"Create activation task");
    const HRESULT hr = m_options.task->Register(m_options.launcherPath.c_str(), arguments.c_str());
    if (FAILED(hr))
        QK_LOG_ERROR(L"Unable to create activation task, hr=0x%08X", static_cast<unsigned>(hr));
}

void WOXWrapper::DeleteInstallationTask()
{
    QK_LOG_INFO(L"Delete activation task");
    m_options.task->Delete();
}

bool WOXWrapper::IsEndpointProductInstalled()
{
    if (m_msi->CompareInstalledVersion(kEndpointUpgradeCode32, kEndpointUpgradeCode64, nullptr) == 0)
        return true;
    QK_LOG_INFO(L"QOR not installed, delete WOX activation task");
    DeleteInstallationTask();
    return false;
}

bool WOXWrapper::IsInstallationStampSet()
{
    const auto key = m_registry->CreateKey();
    if (!key->Open(HKEY_LOCAL_MACHINE, kVekKey, KEY_READ, FALSE)) {
        QK_LOG_ERROR(L"Unable to open VEK key for this root: %d. erro:%d",
                     static_cast<int>(reinterpret_cast<INT_PTR>(HKEY_LOCAL_MACHINE)),
                     static_cast<int>(key->GetLastError()));
        return false;
    }
    std::wstring stamp;
    return key->QueryStringValue(kStampValue, stamp) && !stamp.empty();
}

void WOXWrapper::WriteInstallationStamp()
{
    const auto key = m_registry->CreateKey();
    if (!key->Open(HKEY_LOCAL_MACHINE, kVekKey, KEY_READ | KEY_WRITE, TRUE)) {
        QK_LOG_ERROR(L"Unable to open VEK key for this root: %d. erro:%d",
                     static_cast<int>(reinterpret_cast<INT_PTR>(HKEY_LOCAL_MACHINE)),
                     static_cast<int>(key->GetLastError()));
        return;
    }
    GUID guid{};
    const HRESULT hr = ::CoCreateGuid(&guid);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"Unable to make a WOX installation stamp, hr=0x%08X", static_cast<unsigned>(hr));
        return;
    }
    std::wstring stamp;
    vek::FormatGuid(stamp, false, guid);
    if (!key->SetStringValue(kStampValue, stamp))
        QK_LOG_ERROR(L"Unable to write the WOX installation stamp, error %lu", key->GetLastError());
}

bool WOXWrapper::IsPackageFamilyInstalled(const wchar_t* family, bool report)
{
    QK_LOG_INFO(L"Check for WOX application: %s", family);
    qkModule kernel(::LoadLibraryExW(L"kernel32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    const auto find = kernel.GetProc<FindPackagesByPackageFamilyFn>("FindPackagesByPackageFamily");
    if (find == nullptr) {
        QK_LOG_ERROR(L"Unable to load UWP enumeration library, %d", static_cast<int>(::GetLastError()));
        return false;
    }
    UINT32 count = 0;
    UINT32 bufferLength = 0;
    const LONG result =
        find(family, kPackageFilterHead | kPackageFilterDirect, &count, nullptr, &bufferLength, nullptr, nullptr);
    if (result == ERROR_INSUFFICIENT_BUFFER && count > 0) {
        QK_LOG_INFO(L"application detected");
        return true;
    }
    if (result != ERROR_SUCCESS && result != ERROR_INSUFFICIENT_BUFFER) {
        QK_LOG_ERROR(L"Unable to enumerate UWP packages, %d", static_cast<int>(result));
        return false;
    }
    if (report)
        QK_LOG_INFO(L"application not found");
    return false;
}

void WOXWrapper::EnableSideLoading()
{
    const auto key = m_registry->CreateKey();
    if (!key->Open(HKEY_LOCAL_MACHINE, kSideLoadKey, kSideLoadAccess, TRUE)) {
        QK_LOG_ERROR(L"Unable to open SideLoading key in registry. error=%d", static_cast<int>(key->GetLastError()));
        m_sideLoadState = SideLoadFailed;
        return;
    }
    DWORD value = 0;
    if (key->QueryDWORDValue(kSideLoadValue, value) && value == 1) {
        m_sideLoadState = SideLoadUntouched;
        return;
    }
    if (!key->SetDWORDValue(kSideLoadValue, 1)) {
        QK_LOG_ERROR(L"Unable to enable SideLoading via registry. error=%d", static_cast<int>(key->GetLastError()));
        m_sideLoadState = SideLoadFailed;
        return;
    }
    m_sideLoadState = SideLoadSwitchedOn;
}

void WOXWrapper::DisableSideLoading()
{
    if (m_sideLoadState != SideLoadSwitchedOn)
        return;
    const auto key = m_registry->CreateKey();
    if (!key->Open(HKEY_LOCAL_MACHINE, kSideLoadKey, kSideLoadAccess, FALSE)) {
        QK_LOG_ERROR(L"Unable to open registry for disabling SideLoading. error=%d",
                     static_cast<int>(key->GetLastError()));
        return;
    }
    if (!key->SetDWORDValue(kSideLoadValue, 0))
        QK_LOG_ERROR(L"Unable to disable SideLoading via registry. error=%d", static_cast<int>(key->GetLastError()));
}
