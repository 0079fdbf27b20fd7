#include "ui/automation/VekUiaFunctions.h"

#include "common/errors/qkLog.h"

#include <mutex>

namespace vek {

namespace {

std::mutex g_functionsLock;
bool g_bound = false;
VekUiaFunctions g_system;
VekUiaFunctions g_override;

void BindSystemFunctions()
{
    if (g_bound)
        return;
    g_bound = true;
    HMODULE module = ::LoadLibraryExW(L"uiautomationcore.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) {
        QK_LOG_ERROR(L"LoadLibraryExW failed for uiautomationcore.dll, error %lu", ::GetLastError());
        return;
    }
    // The library stays loaded for the life of the process: providers handed out may call it.
    g_system.returnRawElementProvider = reinterpret_cast<VekUiaFunctions::ReturnRawElementProviderFn>(
        reinterpret_cast<void*>(::GetProcAddress(module, "UiaReturnRawElementProvider")));
    g_system.hostProviderFromHwnd = reinterpret_cast<VekUiaFunctions::HostProviderFromHwndFn>(
        reinterpret_cast<void*>(::GetProcAddress(module, "UiaHostProviderFromHwnd")));
    if (g_system.returnRawElementProvider == nullptr || g_system.hostProviderFromHwnd == nullptr)
        QK_LOG_ERROR(L"uiautomationcore.dll lacks UiaReturnRawElementProvider or UiaHostProviderFromHwnd");
}

} // namespace

VekUiaFunctions GetUiaFunctions()
{
    std::lock_guard<std::mutex> lock(g_functionsLock);
    if (g_override.returnRawElementProvider != nullptr || g_override.hostProviderFromHwnd != nullptr)
        return g_override;
    BindSystemFunctions();
    return g_system;
}

VekUiaFunctions SetUiaFunctions(const VekUiaFunctions& functions)
{
    std::lock_guard<std::mutex> lock(g_functionsLock);
    VekUiaFunctions previous = g_override;
    g_override = functions;
    return previous;
}

} // namespace vek
