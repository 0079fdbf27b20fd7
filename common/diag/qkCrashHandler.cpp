#include "common/diag/qkCrashHandler.h"

#include "common/base/qkWideFormat.h"
#include "common/system/qkResourceHolders.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkScopedLock.h"
#include "common/base/qkTrace.h"
#include "common/diag/qkContextCapture.h"
#include "common/system/qkHandle.h"
#include "common/system/qkPrivilege.h"
#include "common/system/qkSplitPath.h"

namespace {

// The installed hook of each kind; cleared only by the hook it names.
qkNewHandlerHook* volatile g_newHook = nullptr;
qkUnhandledExceptionHook* volatile g_exceptionHook = nullptr;
qkPurecallHook* volatile g_purecallHook = nullptr;
qkInvalidParameterHook* volatile g_invalidParameterHook = nullptr;
volatile LONG g_inNewHandler = 0;

template <typename T>
void ClearIfMine(T* volatile& slot, T* hook)
{
    InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&slot), nullptr, hook);
}

// A dump written without exception pointers describes the code that called the handler: its
// context at the return from that call, and an exception record at the calling instruction.
struct CapturedCrash {
    CONTEXT context{};
    EXCEPTION_RECORD record{};
    EXCEPTION_POINTERS pointers{};
};

// The calling instruction before a return address: a direct call (E8 and a 32-bit displacement)
// is 5 bytes long, an indirect one through memory (FF 15 and a 32-bit displacement) 6. Calls of
// another form (through a register, a virtual call) leave the return address itself, so that the
// dump is still written.
void* CallingInstruction(void* returnAddress)
{
    const BYTE* code = static_cast<const BYTE*>(returnAddress);
    if (code[-5] == 0xE8)
        return const_cast<BYTE*>(code - 5);
    if (code[-6] == 0xFF && code[-5] == 0x15)
        return const_cast<BYTE*>(code - 6);
    return returnAddress;
}

// skipFrames 1: the caller of the function that calls this.
__attribute__((noinline)) bool CaptureCaller(CapturedCrash& crash, unsigned skipFrames)
{
    if (!qkContextCapture::Capture(crash.context, skipFrames + 1)) {
        QK_TRACE(L"the caller's context could not be captured");
        return false;
    }
#ifdef _WIN64
    void* const returnAddress = reinterpret_cast<void*>(crash.context.Rip);
#else
    void* const returnAddress = reinterpret_cast<void*>(static_cast<ULONG_PTR>(crash.context.Eip));
#endif
    crash.record.ExceptionCode = EXCEPTION_BREAKPOINT;
    crash.record.ExceptionAddress = CallingInstruction(returnAddress);
    crash.pointers.ExceptionRecord = &crash.record;
    crash.pointers.ContextRecord = &crash.context;
    return true;
}

// Sets a flag back to 0 however its scope ends.
class FlagReset {
public:
    explicit FlagReset(volatile LONG& flag) : m_flag(flag) {}
    ~FlagReset() { InterlockedExchange(&m_flag, 0); }
    FlagReset(const FlagReset&) = delete;
    FlagReset& operator=(const FlagReset&) = delete;

private:
    volatile LONG& m_flag;
};

} // namespace

// --- hooks ---

void qkNewHandlerHook::Install(bool throwOnNew)
{
    if (m_installed)
        return;
    m_throw = throwOnNew;
    m_previous = std::set_new_handler(&Callback);
    g_newHook = this;
    m_installed = true;
}

void qkNewHandlerHook::Uninstall()
{
    if (!m_installed)
        return;
    std::set_new_handler(m_previous);
    m_previous = nullptr;
    ClearIfMine(g_newHook, this);
    m_installed = false;
}

void qkNewHandlerHook::Callback()
{
    if (qkNewHandlerHook* hook = g_newHook)
        hook->OnEvent();
    // The C++ library retries an allocation as long as its handler returns: the only way to let
    // this allocation fail is the exception (a nothrow new turns it into a null result).
    throw std::bad_alloc();
}

void qkNewHandlerHook::OnEvent()
{
    if (InterlockedCompareExchange(&g_inNewHandler, 1, 0) != 0)
        return;
    // The handling may itself run out of memory: whatever it throws stays here, and the guard is
    // released in every case, so that a later allocation failure is dumped again.
    FlagReset release(g_inNewHandler);
    qkExceptionInfo info;
    try {
        QK_TRACE(L"an allocation failed");
        m_owner->HandleCrash(qkCrashHandler::CrashNew, nullptr);
    }
    QK_CATCH(info)
    if (info.HasError())
        QK_TRACE(L"handling the allocation failure failed: %s", info.GetFullText());
}

void qkUnhandledExceptionHook::Install()
{
    if (m_installed)
        return;
    m_previous = ::SetUnhandledExceptionFilter(&Callback);
    g_exceptionHook = this;
    m_installed = true;
}

void qkUnhandledExceptionHook::Uninstall()
{
    if (!m_installed)
        return;
    ::SetUnhandledExceptionFilter(m_previous);
    m_previous = nullptr;
    ClearIfMine(g_exceptionHook, this);
    m_installed = false;
}

LONG WINAPI qkUnhandledExceptionHook::Callback(EXCEPTION_POINTERS* pointers)
{
    qkUnhandledExceptionHook* hook = g_exceptionHook;
    return hook ? hook->OnEvent(pointers) : 0;
}

LONG qkUnhandledExceptionHook::OnEvent(EXCEPTION_POINTERS* pointers)
{
    // No exception may leave an exception filter.
    qkExceptionInfo info;
    try {
        QK_TRACE(L"unhandled exception 0x%08lX",
                 pointers && pointers->ExceptionRecord ? pointers->ExceptionRecord->ExceptionCode : 0);
        m_owner->RunCrashCallback(qkCrashHandler::CrashException, pointers);
        m_owner->HandleCrash(qkCrashHandler::CrashException, pointers);
    }
    QK_CATCH(info)
    if (info.HasError())
        QK_TRACE(L"handling the unhandled exception failed: %s", info.GetFullText());
    return m_previous ? m_previous(pointers) : EXCEPTION_CONTINUE_SEARCH;
}

void qkPurecallHook::Install()
{
    if (m_installed)
        return;
    m_previous = _set_purecall_handler(&Callback);
    g_purecallHook = this;
    m_installed = true;
}

void qkPurecallHook::Uninstall()
{
    if (!m_installed)
        return;
    _set_purecall_handler(m_previous);
    m_previous = nullptr;
    ClearIfMine(g_purecallHook, this);
    m_installed = false;
}

void __cdecl qkPurecallHook::Callback()
{
    if (qkPurecallHook* hook = g_purecallHook)
        hook->OnEvent();
}

void qkPurecallHook::OnEvent()
{
    m_owner->HandleCrash(qkCrashHandler::CrashPurecall, nullptr);
    if (m_previous)
        m_previous();
    else
        std::abort();
}

void qkInvalidParameterHook::Install()
{
    if (m_installed)
        return;
    if (!m_defaultReport)
        m_defaultReport = FindDefaultReport();
    m_previous = _set_invalid_parameter_handler(&Callback);
    g_invalidParameterHook = this;
    m_installed = true;
}

void qkInvalidParameterHook::Uninstall()
{
    if (!m_installed)
        return;
    _set_invalid_parameter_handler(m_previous);
    m_previous = nullptr;
    ClearIfMine(g_invalidParameterHook, this);
    m_installed = false;
}

void __cdecl qkInvalidParameterHook::Callback(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                                              unsigned line, uintptr_t)
{
    if (qkInvalidParameterHook* hook = g_invalidParameterHook)
        hook->OnEvent(expression, function, file, line);
}

void qkInvalidParameterHook::OnEvent(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                                     unsigned line)
{
    QK_TRACE(L"invalid parameter: %s in %s (%s:%u)", expression ? expression : L"", function ? function : L"",
             file ? file : L"", line);
    m_owner->HandleCrash(qkCrashHandler::CrashInvalidParameter, nullptr);
    if (m_previous) {
        m_previous(expression, function, file, line, 0);
        return;
    }
    // No previous handler: the run time's own report, with this hook's callback taken out of the
    // slot for that call (else the run time would hand the report straight back to it) and put
    // back after it, should the report return.
    if (!m_defaultReport) {
        QK_TRACE(L"the run time has no default invalid-parameter report");
        return;
    }
    const _invalid_parameter_handler mine = _set_invalid_parameter_handler(nullptr);
    m_defaultReport(expression, function, file, line, 0);
    _set_invalid_parameter_handler(mine);
}

qkInvalidParameterHook::DefaultReport qkInvalidParameterHook::FindDefaultReport()
{
    // The run time this program is linked with, already loaded.
#ifdef _UCRT
    const HMODULE runtime = ::GetModuleHandleW(L"ucrtbase.dll");
#else
    const HMODULE runtime = ::GetModuleHandleW(L"msvcrt.dll");
#endif
    if (!runtime)
        return nullptr;
    // The report itself where the run time exports it, else its last step, which every run time
    // with invalid-parameter reports exports.
    for (const char* name : {"_invalid_parameter", "_invoke_watson"})
        if (FARPROC found = ::GetProcAddress(runtime, name))
            return reinterpret_cast<DefaultReport>(reinterpret_cast<void*>(found));
    return nullptr;
}

// --- handler ---

qkCrashHandler::qkCrashHandler()
    : m_newHook(this), m_exceptionHook(this), m_purecallHook(this), m_invalidParameterHook(this)
{}

qkCrashHandler::~qkCrashHandler()
{
    Uninitialize();
}

BOOL qkCrashHandler::Initialize(const Settings& settings, bool installHooks)
{
    qkScopedLock lock(m_lock);
    qkExceptionInfo info;
    try {
        m_settings = settings;
    }
    QK_CATCH(info)
    if (info.HasError())
        return FALSE;
    if (!m_dbgHelp.Load())
        QK_TRACE(L"DbgHelp not available: no in-process dumps");
    if (installHooks) {
        m_newHook.Install(settings.throwOnNew);
        m_exceptionHook.Install();
        m_purecallHook.Install();
        m_invalidParameterHook.Install();
    }
    m_initialized = true;
    return TRUE;
}

void qkCrashHandler::Uninitialize()
{
    qkScopedLock lock(m_lock);
    m_newHook.Uninstall();
    m_purecallHook.Uninstall();
    m_exceptionHook.Uninstall();
    m_invalidParameterHook.Uninstall();
    m_dbgHelp.Bind(FALSE);
    m_dbgHelp.Free();
    m_initialized = false;
}

bool qkCrashHandler::DumpSwitch(DWORD type) const
{
    if (type == CrashDirect)
        return true;
    if (type >= CrashNew && type <= CrashInvalidParameter)
        return m_settings.dump[type] != 0;
    QK_TRACE(L"unknown crash type %lu", type);
    return false;
}

bool qkCrashHandler::TerminateSwitch(DWORD type) const
{
    if (type >= CrashNew && type <= CrashInvalidParameter)
        return m_settings.terminate[type] != 0;
    return false;
}

std::wstring qkCrashHandler::MakeDumpName(const SYSTEMTIME& t, DWORD processId, BOOL* ok) const
{
    *ok = TRUE;
    const std::wstring& base = m_settings.dumpBasePath;
    if (!m_settings.appendDateTime && !m_settings.appendVersion)
        return base;
    wchar_t drive[_MAX_DRIVE] = {}, folder[_MAX_DIR] = {}, name[_MAX_FNAME] = {}, extension[_MAX_EXT] = {};
    if (_wsplitpath_s(base.c_str(), drive, _MAX_DRIVE, folder, _MAX_DIR, name, _MAX_FNAME, extension, _MAX_EXT) != 0) {
        QK_TRACE(L"cannot split the dump path %s", base.c_str());
        *ok = FALSE;
        return base;
    }
    std::wstring path = std::wstring(drive) + folder + name;
    wchar_t piece[96];
    if (m_settings.appendVersion && !m_settings.version.empty())
        path += L"-" + m_settings.version;
    if (m_settings.appendDateTime) {
        qkLib::FormatWide(piece, 96, L"-%04d-%02d-%02d-%02d-%02d-%02d-%03d", t.wYear, t.wMonth, t.wDay, t.wHour,
                          t.wMinute, t.wSecond, t.wMilliseconds);
        path += piece;
    }
    qkLib::FormatWide(piece, 96, L"-%ld", static_cast<long>(processId));
    path += piece;
    path += extension;
    return path;
}

void qkCrashHandler::TraceToken()
{
    qkHandle token;
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        QK_TRACE(L"OpenProcessToken failed, error %lu", ::GetLastError());
        return;
    }
    token.Attach(raw);
    DWORD size = 0;
    ::GetTokenInformation(token.Get(), TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> buffer(size ? size : 1);
    if (!::GetTokenInformation(token.Get(), TokenPrivileges, buffer.data(), size, &size))
        return;
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        const DWORD a = privileges->Privileges[i].Attributes;
        std::wstring words;
        if (a & SE_PRIVILEGE_ENABLED_BY_DEFAULT)
            words += L" SE_PRIVILEGE_ENABLED_BY_DEFAULT";
        if (a & SE_PRIVILEGE_ENABLED)
            words += L" SE_PRIVILEGE_ENABLED";
        if (a & SE_PRIVILEGE_REMOVED)
            words += L" SE_PRIVILEGE_REMOVED";
        if (a & SE_PRIVILEGE_USED_FOR_ACCESS)
            words += L" SE_PRIVILEGE_USED_FOR_ACCESS";
        wchar_t name[128];
        DWORD chars = 128;
        LUID luid = privileges->Privileges[i].Luid;
        if (!::LookupPrivilegeNameW(nullptr, &luid, name, &chars))
            name[0] = L'\0';
        QK_TRACE(L"privilege %s:%s", name, words.empty() ? L" None" : words.c_str());
    }
}

__attribute__((noinline)) BOOL qkCrashHandler::HandleCrash(DWORD type, EXCEPTION_POINTERS* pointers)
{
    // Taken here, before anything else runs on the stack: the caller's frame is alive until
    // HandleCrash returns, so the dump's thread walks back from the caller.
    CapturedCrash captured;
    if (!pointers && CaptureCaller(captured, 1))
        pointers = &captured.pointers;
    qkExceptionInfo info;
    BOOL result = FALSE;
    try {
        qkScopedLock lock(m_lock);
        result = HandleCrashLocked(type, pointers);
    }
    QK_CATCH(info)
    if (info.HasError())
        QK_TRACE(L"handling crash type %lu failed: %s", type, info.GetFullText());
    return result;
}

BOOL qkCrashHandler::HandleCrashLocked(DWORD type, EXCEPTION_POINTERS* pointers)
{
    if (!DumpSwitch(type)) {
        QK_TRACE(L"no dump for crash type %lu", type);
        return TRUE;
    }
    if (!pointers)
        QK_TRACE(L"no context for crash type %lu: the dump shows the handler's thread as it is", type);
    if (StartDumpServiceWith(pointers))
        return TRUE;
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    BOOL result = TRUE;
    const std::wstring name = MakeDumpName(now, ::GetCurrentProcessId(), &result);
    TraceToken();
    if (!WriteDump(name, m_settings.dumpType, pointers))
        result = FALSE;
    if (TerminateSwitch(type)) {
        QK_TRACE(L"ending process %lu", ::GetCurrentProcessId());
        ::TerminateProcess(::GetCurrentProcess(), kTerminateExitCode);
    }
    return result;
}

__attribute__((noinline)) BOOL qkCrashHandler::StartDumpService(EXCEPTION_POINTERS* pointers)
{
    CapturedCrash captured;
    if (!pointers && CaptureCaller(captured, 1))
        pointers = &captured.pointers;
    return StartDumpServiceWith(pointers);
}

BOOL qkCrashHandler::StartDumpServiceWith(EXCEPTION_POINTERS* pointers)
{
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, 0x14);
    if (!manager) {
        QK_TRACE(L"OpenSCManagerW failed, error %lu", ::GetLastError());
        return FALSE;
    }
    qkServiceHandle managerOwner(manager);
    SC_HANDLE service = ::OpenServiceW(manager, kDumpServiceName, 0x14);
    if (!service) {
        QK_TRACE(L"OpenServiceW %s failed, error %lu", kDumpServiceName, ::GetLastError());
        return FALSE;
    }
    qkServiceHandle serviceOwner(service);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                &needed) ||
        status.dwCurrentState != SERVICE_STOPPED) {
        QK_TRACE(L"the dump service is not stopped (state %lu)", status.dwCurrentState);
        return FALSE;
    }
    wchar_t processId[16], threadId[16], address[32];
    qkLib::FormatWide(processId, 16, L"%d", static_cast<int>(::GetCurrentProcessId()));
    qkLib::FormatWide(threadId, 16, L"%d", static_cast<int>(::GetCurrentThreadId()));
    qkLib::FormatWide(address, 32, L"%p", static_cast<void*>(pointers));
    const wchar_t* arguments[] = {processId, threadId, L"32", address};
    if (!::StartServiceW(service, 4, arguments)) {
        QK_TRACE(L"StartServiceW failed, error %lu", ::GetLastError());
        return FALSE;
    }
    ::Sleep(1000);
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
        if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                    &needed))
            return FALSE;
        if (status.dwCurrentState == SERVICE_STOPPED)
            return status.dwServiceSpecificExitCode == 0;
        if (::GetTickCount64() - start > 600 * 1000)
            return FALSE;
        DWORD wait = status.dwWaitHint / 10;
        wait = wait < 1000 ? 1000 : (wait > 10000 ? 10000 : wait);
        ::Sleep(wait);
    }
}

BOOL qkCrashHandler::WriteDump(const std::wstring& path, DWORD dumpType, EXCEPTION_POINTERS* pointers)
{
    if (!m_dbgHelp.pfnMiniDumpWriteDump || path.empty())
        return FALSE;
    qkHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        QK_TRACE(L"creating %s failed, error %lu", path.c_str(), ::GetLastError());
        return FALSE;
    }
    qkPrivilege debug;
    if (!debug.EnableForCurrentThread(SE_DEBUG_NAME))
        QK_TRACE(L"SeDebugPrivilege not enabled, error %lu", ::GetLastError());
    qkHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ::GetCurrentProcessId()));
    if (!process.IsValid()) {
        QK_TRACE(L"opening the own process failed, error %lu", ::GetLastError());
        return FALSE;
    }
    MINIDUMP_EXCEPTION_INFORMATION exception{};
    exception.ThreadId = ::GetCurrentThreadId();
    exception.ExceptionPointers = pointers;
    exception.ClientPointers = TRUE;
    qkScopedLock lock(qkDbgHelp::ProcessLock());
    if (!m_dbgHelp.pfnMiniDumpWriteDump(process.Get(), ::GetCurrentProcessId(), file.Get(),
                                        static_cast<MINIDUMP_TYPE>(dumpType), pointers ? &exception : nullptr, nullptr,
                                        nullptr)) {
        QK_TRACE(L"MiniDumpWriteDump to %s failed, error %lu", path.c_str(), ::GetLastError());
        return FALSE;
    }
    return TRUE;
}

BOOL qkCrashHandler::RunCrashCallback(DWORD type, EXCEPTION_POINTERS* pointers)
{
    qkExceptionInfo info;
    BOOL result = FALSE;
    try {
        qkScopedLock lock(m_lock);
        result = RunCrashCallbackLocked(type, pointers);
    }
    QK_CATCH(info)
    if (info.HasError())
        QK_TRACE(L"running the crash callback failed: %s", info.GetFullText());
    return result;
}

BOOL qkCrashHandler::RunCrashCallbackLocked(DWORD type, EXCEPTION_POINTERS* pointers)
{
    if (!m_settings.callback || m_settings.callbackPath.empty())
        return TRUE;
    if (type != CrashException) {
        QK_TRACE(L"no callback for crash type %lu", type);
        return FALSE;
    }
    wchar_t piece[128];
    std::wstring command = L"\"" + m_settings.callbackPath + L"\"";
    qkLib::FormatWide(piece, 128, L" %ls %u %ls %u %ls %u", L"/pid", static_cast<unsigned>(::GetCurrentProcessId()),
                      L"/tid", static_cast<unsigned>(::GetCurrentThreadId()), L"/crashtype", 3u);
    command += piece;
    if (pointers && pointers->ExceptionRecord) {
        qkLib::FormatWide(
            piece, 128, L" %ls %lu %ls %llu %ls %llu", L"/exceptioncode",
            static_cast<unsigned long>(pointers->ExceptionRecord->ExceptionCode), L"/crashaddress",
            static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(pointers->ExceptionRecord->ExceptionAddress)),
            L"/exceptionpointer", static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(pointers)));
        command += piece;
    }
    std::vector<wchar_t> line(command.begin(), command.end());
    line.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(m_settings.callbackPath.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                          nullptr, nullptr, &startup, &started)) {
        QK_TRACE(L"starting the crash callback %s failed, error %lu", m_settings.callbackPath.c_str(),
                 ::GetLastError());
        return FALSE;
    }
    qkHandle process(started.hProcess);
    qkHandle thread(started.hThread);
    // Bounded: a callback program that hangs must not hold this crashing thread, and every other
    // one waiting for the handler's lock, for ever. It is left running; the dump follows.
    const DWORD waited = ::WaitForSingleObject(process.Get(), m_settings.callbackTimeout);
    if (waited != WAIT_OBJECT_0) {
        QK_TRACE(L"the crash callback %s did not end within %lu ms (%lu)", m_settings.callbackPath.c_str(),
                 m_settings.callbackTimeout, waited);
        return FALSE;
    }
    return TRUE;
}
