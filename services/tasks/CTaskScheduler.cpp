#include "services/tasks/CTaskScheduler.h"

#include <aclapi.h>
#include <knownfolders.h>
#include <sddl.h>
#include <shlobj.h>

#include <cwchar>
#include <vector>

#include "common/errors/qkLog.h"
#include "common/system/qkCommandLine.h"
#include "common/system/qkFolderTrust.h"
#include "common/system/qkResourceHolders.h"
#include "services/tasks/TaskTriggers.h"
#include "services/trust/CLockedFileVerifier.h"

using Microsoft::WRL::ComPtr;
using qkLib::LogLevel;
using qkLib::LogText;

namespace vek {

namespace {

// The scheduler's messages carry no method prefix: they are written with LogText.

constexpr std::int64_t kHour = 3600;
constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kPostponedLifetime = 10368000; // 120 days
// Administrators and SYSTEM only, inherited by what the folder holds, nothing from above.
const wchar_t kCopyFolderAccess[] = L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";

// Owner of one BSTR handed to the scheduler.
class Bstr {
public:
    explicit Bstr(const std::wstring& text) : m_value(::SysAllocString(text.c_str())) {}
    ~Bstr() { ::SysFreeString(m_value); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    operator BSTR() const { return m_value; }

private:
    BSTR m_value;
};

std::tm LocalTime(std::int64_t t)
{
    const std::time_t value = static_cast<std::time_t>(t);
    std::tm local{};
    localtime_s(&local, &value);
    return local;
}

bool IsWeekend(const std::tm& local)
{
    return local.tm_wday == 0 || local.tm_wday == 6;
}
bool IsBusinessHours(const std::tm& local)
{
    return !IsWeekend(local) && local.tm_hour >= 8 && local.tm_hour <= 17;
}

std::wstring FormatLocal(const wchar_t* format, std::int64_t t)
{
    const std::tm local = LocalTime(t);
    wchar_t text[64] = {};
    std::wcsftime(text, 64, format, &local);
    return text;
}

bool Contains(const std::wstring& text, const wchar_t* part)
{
    return text.find(part) != std::wstring::npos;
}

// "S-1-5-18" as the account lookup gives it; empty when it fails.
std::wstring SystemAccountSid()
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(sid);
    wchar_t domain[256];
    DWORD domainSize = 256;
    SID_NAME_USE use;
    if (!::LookupAccountNameW(nullptr, L"SYSTEM", sid, &sidSize, domain, &domainSize, &use))
        return {};
    qkLocalPtr<wchar_t> text;
    if (!::ConvertSidToStringSidW(sid, text.Receive())) {
        LogText(LogLevel::Error, L"Unable to obtain SID of system user (%d)", ::GetLastError());
        return {};
    }
    return text.Get();
}

bool IsLink(const std::wstring& path)
{
    return qkFolderTrust::IsReparsePoint(path);
}

// An existing folder of the copy may belong to administrators, SYSTEM or this process's user
// only: anyone else could have put a program there.
bool IsTrustedOwner(const std::wstring& folder)
{
    return qkFolderTrust::HasTrustedOwner(folder);
}

// A folder on the way to the copy's folder ("Talvern", "Talvern\Vek"): created with the access it
// inherits when missing, refused when it is a link or belongs to another account. "Talvern\Vek"
// is the launcher's data folder, where a launcher without full rights keeps its lock and log, so
// its access list stays as it is.
bool PrepareParentFolder(const std::wstring& folder)
{
    if (IsLink(folder)) {
        LogText(LogLevel::Error, L"Folder %ls is a link, not using it", folder.c_str());
        return false;
    }
    if (!::CreateDirectoryW(folder.c_str(), nullptr)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_ALREADY_EXISTS) {
            LogText(LogLevel::Error, L"Unable to create folder %ls (%lu)", folder.c_str(), error);
            return false;
        }
    }
    if (!IsTrustedOwner(folder)) {
        LogText(LogLevel::Error, L"Folder %ls is owned by another account, not using it", folder.c_str());
        return false;
    }
    return true;
}

// Creates the copy's own folder with the restricted access list, or checks and resets an
// existing one.
bool PrepareCopyFolder(const std::wstring& folder)
{
    if (IsLink(folder)) {
        LogText(LogLevel::Error, L"Folder %ls is a link, not using it", folder.c_str());
        return false;
    }
    qkLocalPtr<void> descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kCopyFolderAccess, SDDL_REVISION_1,
                                                                descriptor.Receive(), nullptr))
        return false;
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.Get(), FALSE};
    if (::CreateDirectoryW(folder.c_str(), &attributes))
        return true;
    const DWORD error = ::GetLastError();
    if (error != ERROR_ALREADY_EXISTS) {
        LogText(LogLevel::Error, L"Unable to create folder %ls (%lu)", folder.c_str(), error);
        return false;
    }
    if (!IsTrustedOwner(folder)) {
        LogText(LogLevel::Error, L"Folder %ls is owned by another account, not using it", folder.c_str());
        return false;
    }
    // Whatever entries were added since, only administrators and SYSTEM keep access.
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    ::GetSecurityDescriptorDacl(descriptor.Get(), &present, &dacl, &defaulted);
    const DWORD reset = ::SetNamedSecurityInfoW(const_cast<wchar_t*>(folder.c_str()), SE_FILE_OBJECT,
                                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                                nullptr, nullptr, dacl, nullptr);
    if (reset != ERROR_SUCCESS) {
        LogText(LogLevel::Error, L"Unable to reset the access list of %ls (%lu)", folder.c_str(), reset);
        return false;
    }
    return true;
}

} // namespace

CTaskScheduler::CTaskScheduler(std::shared_ptr<CClock> clock)
    : m_clock(clock ? std::move(clock) : std::make_shared<CClock>())
{}

CTaskScheduler::~CTaskScheduler()
{
    m_clock.reset();
    m_root.Reset();
    m_service.Reset();
}

bool CTaskScheduler::Connect()
{
    if (m_service && m_root)
        return true;
    ComPtr<ITaskService> service;
    HRESULT hr = ::CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_ALL, IID_ITaskService,
                                    reinterpret_cast<void**>(service.GetAddressOf()));
    if (FAILED(hr)) {
        LogText(LogLevel::Error, L"Unable create Windows Task Scheduler interface (0x%08X)", static_cast<unsigned>(hr));
        return false;
    }
    VARIANT empty;
    ::VariantInit(&empty);
    hr = service->Connect(empty, empty, empty, empty);
    if (FAILED(hr)) {
        LogText(LogLevel::Error, L"Unable connect to Windows Task Scheduler (0x%08X)", static_cast<unsigned>(hr));
        return false;
    }
    ComPtr<ITaskFolder> root;
    Bstr rootName(L"\\");
    hr = service->GetFolder(rootName, root.GetAddressOf());
    if (FAILED(hr) || !root) {
        LogText(LogLevel::Error, L"Unable to obtain root WTS folder (0x%08X)", static_cast<unsigned>(hr));
        return false;
    }
    m_service = service;
    m_root = root;
    return true;
}

std::int64_t CTaskScheduler::PostponedStart(int kind, std::int64_t now)
{
    std::int64_t t = now;
    switch (kind) {
    case InBusinessHours:
        while (!IsBusinessHours(LocalTime(t)))
            t += kHour;
        return t;
    case OutsideBusinessHours: {
        if (!IsBusinessHours(LocalTime(t)))
            return t;
        while (IsBusinessHours(LocalTime(t)))
            t += kHour;
        std::tm local = LocalTime(t);
        local.tm_min = 0;
        local.tm_sec = 0;
        local.tm_isdst = -1;
        return static_cast<std::int64_t>(std::mktime(&local));
    }
    case AtTheWeekend: {
        if (IsWeekend(LocalTime(t)))
            return t;
        while (!IsWeekend(LocalTime(t)))
            t += kDay;
        std::tm local = LocalTime(t);
        local.tm_hour = 1;
        local.tm_min = 0;
        local.tm_sec = 0;
        local.tm_isdst = -1;
        return static_cast<std::int64_t>(std::mktime(&local));
    }
    default:
        return t;
    }
}

std::wstring CTaskScheduler::LauncherArguments(const wchar_t* switches)
{
    std::wstring arguments = switches ? switches : L"";
    arguments += L" /";
    arguments += L"EXECUTED_BY_WTS";
    qkCommandLine commandLine;
    commandLine.Parse(switches ? switches : L"");
    if (!commandLine.HasSwitch(L"FORCE_INSTALL")) {
        arguments += L" /";
        arguments += L"FORCE_INSTALL";
    }
    return arguments;
}

HRESULT CTaskScheduler::RegisterStartupTask(const wchar_t* launcherPath, const wchar_t* switches,
                                            std::wstring& copyPath)
{
    const std::wstring given = switches ? switches : L"";
    const TaskRequest request{kLauncherTask,
                              Triggers::Startup,
                              given,
                              LauncherArguments(switches),
                              0,
                              L"Unable to register start on boot/logon task (0x%08X)"};
    return BuildAndRegister(launcherPath, request, copyPath);
}

HRESULT CTaskScheduler::RegisterPostponedTask(const wchar_t* launcherPath, const wchar_t* switches, int kind,
                                              bool& runNow)
{
    runNow = false;
    const std::int64_t now = m_clock->Now();
    const std::int64_t start = PostponedStart(kind, now);
    if (start == now) {
        // Running now replaces any run planned earlier.
        DeleteTask(kLauncherTask);
        const std::tm local = LocalTime(now);
        LogText(LogLevel::Error,
                L"Scheduled task was not created. Specified schedule: %d , isWeekend: %ls, isBusinessHours: %ls", kind,
                IsWeekend(local) ? L"true" : L"false", IsBusinessHours(local) ? L"true" : L"false");
        runNow = true;
        return S_OK;
    }
    const std::wstring given = switches ? switches : L"";
    const TaskRequest request{kLauncherTask, Triggers::Postponed,
                              given,         LauncherArguments(switches),
                              start,         L"Unable to register task for postponed execution (0x%08X)"};
    std::wstring copyPath;
    return BuildAndRegister(launcherPath, request, copyPath);
}

HRESULT CTaskScheduler::RegisterInstallationTask(const wchar_t* launcherPath, const wchar_t* arguments)
{
    const TaskRequest request{kInstallationTask,
                              Triggers::Installation,
                              L"",
                              arguments ? arguments : L"",
                              0,
                              L"Unable to register start on boot/logon task (0x%08X)"};
    std::wstring copyPath;
    return BuildAndRegister(launcherPath, request, copyPath);
}

HRESULT CTaskScheduler::BuildAndRegister(const wchar_t* launcherPath, const TaskRequest& request,
                                         std::wstring& copyPath)
{
    if (!Connect())
        return HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE);
    ComPtr<ITaskDefinition> definition;
    HRESULT hr = m_service->NewTask(0, definition.GetAddressOf());
    if (FAILED(hr) || !definition) {
        LogText(LogLevel::Error, L"Unable to create WTS task (0x%08X)", static_cast<unsigned>(hr));
        return FAILED(hr) ? hr : E_POINTER;
    }
    if (!CopyToProgramData(launcherPath, copyPath)) {
        const DWORD error = ::GetLastError();
        return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }
    // The source may have been replaced since it was verified: the copy itself is checked and
    // held until the task names it.
    CLockedFileVerifier verifier;
    if (m_requireTrustedCopy) {
        const HRESULT trusted = verifier.VerifyFile(copyPath.c_str(), true);
        if (FAILED(trusted)) {
            LogText(LogLevel::Error, L"The launcher copy %ls is not trusted (0x%08X), no task registered",
                    copyPath.c_str(), static_cast<unsigned>(trusted));
            verifier.Release();
            // Neither the copy nor an earlier task that names it stays.
            if (_wcsicmp(copyPath.c_str(), launcherPath) != 0)
                ::DeleteFileW(copyPath.c_str());
            DeleteTask(request.name);
            copyPath.clear();
            return trusted;
        }
    }

    // The definition's parts: a failure is logged and the task is still registered.
    ComPtr<IRegistrationInfo> info;
    hr = definition->get_RegistrationInfo(info.GetAddressOf());
    if (SUCCEEDED(hr))
        hr = info->put_Author(Bstr(L"Talvern"));
    if (FAILED(hr))
        LogText(LogLevel::Error, L"Unable to create task registration info (0x%08X)", static_cast<unsigned>(hr));

    ComPtr<IPrincipal> principal;
    hr = definition->get_Principal(principal.GetAddressOf());
    if (SUCCEEDED(hr))
        hr = principal->put_Id(Bstr(L"execution_user"));
    if (SUCCEEDED(hr))
        hr = principal->put_UserId(Bstr(SystemAccountSid()));
    if (SUCCEEDED(hr))
        hr = principal->put_LogonType(TASK_LOGON_SERVICE_ACCOUNT);
    if (SUCCEEDED(hr))
        hr = principal->put_RunLevel(TASK_RUNLEVEL_HIGHEST);
    if (FAILED(hr))
        LogText(LogLevel::Error, L"Unable to create execution principal (0x%08X)", static_cast<unsigned>(hr));

    ComPtr<ITaskSettings> settings;
    hr = definition->get_Settings(settings.GetAddressOf());
    if (SUCCEEDED(hr))
        hr = settings->put_StartWhenAvailable(VARIANT_TRUE);
    if (SUCCEEDED(hr))
        hr = settings->put_MultipleInstances(TASK_INSTANCES_IGNORE_NEW);
    if (SUCCEEDED(hr))
        hr = settings->put_RunOnlyIfNetworkAvailable(VARIANT_TRUE);
    if (FAILED(hr))
        LogText(LogLevel::Error, L"Unable to create task  settings (0x%08X)", static_cast<unsigned>(hr));

    AddTriggers(definition.Get(), request);

    ComPtr<IActionCollection> actions;
    ComPtr<IAction> action;
    ComPtr<IExecAction> exec;
    hr = definition->get_Actions(actions.GetAddressOf());
    if (FAILED(hr)) {
        LogText(LogLevel::Error, L"Unable to obtain actions (0x%08X)", static_cast<unsigned>(hr));
    } else if (FAILED(hr = actions->Create(TASK_ACTION_EXEC, action.GetAddressOf()))) {
        LogText(LogLevel::Error, L"Unable to create task action (0x%08X)", static_cast<unsigned>(hr));
    } else if (FAILED(hr = action.As(&exec))) {
        LogText(LogLevel::Error, L"Unable to query execution action interface (0x%08X)", static_cast<unsigned>(hr));
    } else {
        hr = exec->put_Path(Bstr(copyPath));
        if (SUCCEEDED(hr))
            hr = exec->put_Arguments(Bstr(request.arguments));
        if (FAILED(hr))
            LogText(LogLevel::Error, L"Unable to create task action (0x%08X)", static_cast<unsigned>(hr));
    }

    VARIANT empty;
    ::VariantInit(&empty);
    VARIANT sddl;
    ::VariantInit(&sddl);
    sddl.vt = VT_BSTR;
    sddl.bstrVal = ::SysAllocString(L"");
    ComPtr<IRegisteredTask> registered;
    hr = m_root->RegisterTaskDefinition(Bstr(request.name), definition.Get(), TASK_CREATE_OR_UPDATE, empty, empty,
                                        TASK_LOGON_SERVICE_ACCOUNT, sddl, registered.GetAddressOf());
    ::VariantClear(&sddl);
    if (FAILED(hr)) {
        LogText(LogLevel::Error, request.registerFailure, static_cast<unsigned>(hr));
        return hr;
    }
    return S_OK;
}

void CTaskScheduler::AddTriggers(ITaskDefinition* definition, const TaskRequest& request)
{
    ComPtr<ITriggerCollection> triggers;
    HRESULT hr = definition->get_Triggers(triggers.GetAddressOf());
    if (FAILED(hr)) {
        LogText(LogLevel::Error, L"Unable to get triggers collection (0x%08X)", static_cast<unsigned>(hr));
        return;
    }
    // Each trigger: created, its own settings, enabled.
    auto logon = [&](const wchar_t* delay) {
        ComPtr<ITrigger> trigger;
        ComPtr<ILogonTrigger> logonTrigger;
        HRESULT result = triggers->Create(TASK_TRIGGER_LOGON, trigger.GetAddressOf());
        if (SUCCEEDED(result))
            result = trigger->QueryInterface(IID_ILogonTrigger, reinterpret_cast<void**>(logonTrigger.GetAddressOf()));
        if (SUCCEEDED(result))
            result = logonTrigger->put_Delay(Bstr(delay && *delay ? delay : L"PT5M"));
        if (SUCCEEDED(result))
            result = logonTrigger->put_Enabled(VARIANT_TRUE);
        if (FAILED(result))
            LogText(LogLevel::Error, L"Unable to create task logon trigger (0x%08X)", static_cast<unsigned>(result));
    };

    switch (request.triggers) {
    case Triggers::Startup: {
        const bool upgradeConfirmed = Contains(request.switches, L"UPGRADE_CONFIRMED");
        const bool boot = !Contains(request.switches, L"DISABLE_AUTOMATIC_UPGRADE") || upgradeConfirmed;
        if (boot) {
            ComPtr<ITrigger> trigger;
            ComPtr<IBootTrigger> bootTrigger;
            HRESULT result = triggers->Create(TASK_TRIGGER_BOOT, trigger.GetAddressOf());
            if (SUCCEEDED(result))
                result =
                    trigger->QueryInterface(IID_IBootTrigger, reinterpret_cast<void**>(bootTrigger.GetAddressOf()));
            if (SUCCEEDED(result))
                result = bootTrigger->put_Delay(Bstr(L"PT5M"));
            if (SUCCEEDED(result))
                result = bootTrigger->put_Enabled(VARIANT_TRUE);
            if (FAILED(result)) {
                LogText(LogLevel::Error, L"Unable to create task boot trigger (0x%08X)", static_cast<unsigned>(result));
                return;
            }
        }
        logon(upgradeConfirmed ? L"PT1M" : L"PT5M");
        break;
    }
    case Triggers::Installation:
        logon(L"PT1M");
        break;
    case Triggers::Postponed: {
        ComPtr<ITrigger> trigger;
        ComPtr<ITimeTrigger> timeTrigger;
        HRESULT result = triggers->Create(TASK_TRIGGER_TIME, trigger.GetAddressOf());
        if (SUCCEEDED(result))
            result = trigger.As(&timeTrigger);
        if (SUCCEEDED(result))
            result = timeTrigger->put_StartBoundary(Bstr(FormatLocal(m_timeFormat, request.start)));
        if (SUCCEEDED(result))
            result = timeTrigger->put_EndBoundary(Bstr(FormatLocal(m_timeFormat, request.start + kPostponedLifetime)));
        if (SUCCEEDED(result))
            result = timeTrigger->put_Enabled(VARIANT_TRUE);
        if (FAILED(result))
            LogText(LogLevel::Error, L"Unable to create task trigger (0x%08X)", static_cast<unsigned>(result));
        break;
    }
    }
}

void CTaskScheduler::DeleteTask(const wchar_t* name)
{
    if (!Connect())
        return;
    const wchar_t* target = name ? name : kLauncherTask;
    const HRESULT hr = m_root->DeleteTask(Bstr(target), 0);
    if (FAILED(hr) && hr != HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))
        LogText(LogLevel::Information, L"Unable delete task with name %ls (0x%08X)", target, static_cast<unsigned>(hr));
}

void CTaskScheduler::DeleteLegacyTasks()
{
    if (!Connect())
        return;
    wchar_t windows[261] = {};
    ::GetWindowsDirectoryW(windows, 261);
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    const wchar_t* fileName = std::wcsrchr(self, L'\\');
    const std::wstring inWindows = std::wstring(windows) + (fileName ? fileName : L"\\");
    const bool runsFromWindows = _wcsicmp(inWindows.c_str(), self) == 0;

    ComPtr<IRegisteredTaskCollection> tasks;
    HRESULT hr = m_root->GetTasks(0, tasks.GetAddressOf());
    if (FAILED(hr) || !tasks) {
        LogText(LogLevel::Error, L"Unable to get WTS tasks (0x%08X)", static_cast<unsigned>(hr));
        return;
    }
    LONG count = 0;
    hr = tasks->get_Count(&count);
    if (FAILED(hr)) {
        LogText(LogLevel::Error, L"Unable to get WTS tasks (0x%08X)", static_cast<unsigned>(hr));
        return;
    }
    std::vector<std::wstring> doomed;
    for (LONG i = 1; i <= count; ++i) {
        VARIANT index;
        ::VariantInit(&index);
        index.vt = VT_I4;
        index.lVal = i;
        ComPtr<IRegisteredTask> task;
        BSTR raw = nullptr;
        if (FAILED(tasks->get_Item(index, task.GetAddressOf())) || !task || FAILED(task->get_Name(&raw)) || !raw)
            continue;
        const std::wstring name(raw);
        ::SysFreeString(raw);
        switch (ClassifyTaskName(name.c_str(), runsFromWindows)) {
        case LegacyLauncherTask:
            LogText(LogLevel::Information, L"Legacy task with name '%ls' found, delete it", name.c_str());
            doomed.push_back(name);
            break;
        case PushInstallTask:
            LogText(LogLevel::Information, L"Push install task with name '%ls' found, delete it", name.c_str());
            doomed.push_back(name);
            break;
        case OtherTask:
            break;
        }
    }
    // Deleted after the walk, so that the collection's numbering does not shift under it.
    for (const std::wstring& name : doomed)
        DeleteTask(name.c_str());
}

CTaskScheduler::TaskKind CTaskScheduler::ClassifyTaskName(const wchar_t* name, bool runsFromWindows)
{
    if (name == nullptr)
        return OtherTask;
    if (std::wcsstr(name, L"Vallor Download Manager{Qor"))
        return LegacyLauncherTask;
    if (!runsFromWindows &&
        (_wcsicmp(name, L"Talvern Agent Push Install Task") == 0 || _wcsicmp(name, L"QorC Push Install Task") == 0))
        return PushInstallTask;
    return OtherTask;
}

std::wstring CTaskScheduler::CommonDataFolder()
{
    if (!m_commonDataFolder.empty())
        return m_commonDataFolder;
    PWSTR known = nullptr;
    const HRESULT hr = ::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &known);
    std::wstring folder;
    if (SUCCEEDED(hr) && known) {
        folder = known;
    } else {
        LogText(LogLevel::Error, L"Unable to get programdata folder, hr=0x%08X, use default",
                static_cast<unsigned>(hr));
        folder = L"c:\\ProgramData";
    }
    ::CoTaskMemFree(known);
    return folder;
}

bool CTaskScheduler::CopyToProgramData(const wchar_t* source, std::wstring& destination)
{
    if (source == nullptr || *source == L'\0') {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::wstring folder = CommonDataFolder();
    if (IsLink(folder)) {
        LogText(LogLevel::Error, L"Folder %ls is a link, not using it", folder.c_str());
        ::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    // "Talvern\Vek\bin", each folder checked on the way; only "bin" is restricted to the
    // administrators and SYSTEM.
    for (const wchar_t* part : {L"Talvern", L"Vek"}) {
        folder += L"\\";
        folder += part;
        if (!PrepareParentFolder(folder)) {
            ::SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
    }
    folder += L"\\bin";
    if (!PrepareCopyFolder(folder)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    const wchar_t* slash = std::wcsrchr(source, L'\\');
    std::wstring name = slash ? slash + 1 : source;
    const size_t dot = name.find_last_of(L'.');
    if (dot != std::wstring::npos)
        name.erase(dot);
    destination = folder + L"\\" + name + L".exe";
    if (_wcsicmp(destination.c_str(), source) == 0)
        return true;

    // Copied beside the destination under a fresh name, then renamed over it: a rename replaces
    // a link at the destination instead of writing through it.
    const std::wstring staging = destination + L".new";
    ::DeleteFileW(staging.c_str());
    if (!::CopyFileW(source, staging.c_str(), TRUE) ||
        !::MoveFileExW(staging.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const DWORD error = ::GetLastError();
        ::DeleteFileW(staging.c_str());
        LogText(LogLevel::Error, L"Unable to copy VEK to ProgramData, GetLastError : (%lu) ", error);
        ::SetLastError(error);
        return false;
    }
    return true;
}

} // namespace vek
