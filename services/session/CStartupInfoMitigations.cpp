#include "services/session/CStartupInfoMitigations.h"
#include "common/base/qkLastError.h"

#include "common/base/qkTrace.h"
#include "common/errors/qkLog.h"
#include "common/system/qkOSInfo.h"

namespace vek {

namespace {

using InitializeListFn = BOOL(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD, PSIZE_T);
using UpdateFn = BOOL(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR, PVOID, SIZE_T, PVOID, PSIZE_T);
using DeleteListFn = VOID(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST);

// Resolved at run time: the attribute-list functions do not exist before Vista.
template <typename Fn>
Fn Kernel32Function(const char* name)
{
    HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    return kernel32 ? reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(kernel32, name))) : nullptr;
}

constexpr std::uint64_t kDep = 0x1;                       // PROCESS_CREATION_MITIGATION_POLICY_DEP_ENABLE
constexpr std::uint64_t kHeapTerminate = 0x1000;          // ..._HEAP_TERMINATE_ALWAYS_ON
constexpr std::uint64_t kStrictHandleChecks = 0x1000000;  // ..._STRICT_HANDLE_CHECKS_ALWAYS_ON
constexpr std::uint64_t kExtensionPointsOff = 1ull << 32; // ..._EXTENSION_POINT_DISABLE_ALWAYS_ON

} // namespace

CStartupInfoMitigations::CStartupInfoMitigations()
{
    m_startup.StartupInfo.cb = sizeof(STARTUPINFOEXW);
}

CStartupInfoMitigations::~CStartupInfoMitigations()
{
    if (!m_listInitialized)
        return;
    const auto deleteList = Kernel32Function<DeleteListFn>("DeleteProcThreadAttributeList");
    if (deleteList == nullptr) {
        const HRESULT hr = qkLib::LastErrorResult();
        QK_LOG_ERROR(L"Attribute List Initialized  but DeleteProcThreadAttributeList() function not found in kernel32, "
                     L"hr=0x%08X",
                     static_cast<unsigned>(hr));
        QK_TRACE(L"DeleteProcThreadAttributeList missing, hr=0x%08X", static_cast<unsigned>(hr));
        return;
    }
    deleteList(reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(m_list.data()));
}

bool CStartupInfoMitigations::PolicyFor(const RTL_OSVERSIONINFOEXW& version, std::uint64_t& value, std::size_t& width)
{
    const DWORD v = version.dwMajorVersion * 100 + version.dwMinorVersion;
    // Workstations and servers alike from 6.1 (a 6.0 server does not qualify).
    if (v < 601)
        return false;
    value = kDep;
    width = sizeof(DWORD);
    if (v >= 602) {
        value |= kHeapTerminate | kStrictHandleChecks | kExtensionPointsOff;
        width = sizeof(std::uint64_t);
    }
    return true;
}

HRESULT CStartupInfoMitigations::Create()
{
    qkOSInfo::Initialize();
    std::size_t width = 0;
    if (!PolicyFor(qkOSInfo::GetVersionInfo(), m_policy, width))
        return S_OK;

    const auto update = Kernel32Function<UpdateFn>("UpdateProcThreadAttribute");
    const auto deleteList = Kernel32Function<DeleteListFn>("DeleteProcThreadAttributeList");
    const auto initialize = Kernel32Function<InitializeListFn>("InitializeProcThreadAttributeList");
    if (update == nullptr || deleteList == nullptr || initialize == nullptr) {
        const HRESULT hr = qkLib::LastErrorResult();
        QK_LOG_ERROR(L"Windows Vista+ but ProcThreadAttribute functions not found in kernel32, hr=0x%08X",
                     static_cast<unsigned>(hr));
        return hr;
    }

    SIZE_T size = 0;
    if (!initialize(nullptr, 1, 0, &size) && ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        const HRESULT hr = qkLib::LastErrorResult();
        QK_LOG_ERROR(
            L"Unexpected return from InitializeProcThreadAttributeList() while retrieving size of process thread "
            L"attribute list, hr=0x%08X",
            static_cast<unsigned>(hr));
        return hr;
    }
    try {
        m_list.assign(size, 0);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(m_list.data());
    if (!initialize(list, 1, 0, &size)) {
        const HRESULT hr = qkLib::LastErrorResult();
        QK_LOG_ERROR(L"InitializeProcThreadAttributeList() failed, hr=0x%08X", static_cast<unsigned>(hr));
        return hr;
    }
    m_listInitialized = true;

    if (!update(list, 0, PROC_THREAD_ATTRIBUTE_MITIGATION_POLICY, &m_policy, width, nullptr, nullptr)) {
        const HRESULT hr = qkLib::LastErrorResult();
        QK_LOG_ERROR(L"UpdateProcThreadAttribute() failed, hr=0x%08X", static_cast<unsigned>(hr));
        return hr;
    }
    m_attributeInUse = true;
    m_startup.lpAttributeList = list;
    return S_OK;
}

} // namespace vek
