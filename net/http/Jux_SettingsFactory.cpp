#include "net/http/Jux_SettingsFactory.h"

#include <atomic>
#include <mutex>

namespace Jux {
namespace {

std::mutex g_registrationLock;
bool g_registrationUsed = false;
std::atomic<SettingsFactory> g_factory{nullptr};

} // namespace

HRESULT RegisterSettingsFactory(SettingsFactory factory)
{
    std::lock_guard<std::mutex> lock(g_registrationLock);
    if (g_registrationUsed)
        return E_UNEXPECTED;
    g_registrationUsed = true;
    if (factory == nullptr)
        return E_INVALIDARG;
    g_factory.store(factory);
    return S_OK;
}

SettingsFactory GetSettingsFactory()
{
    return g_factory.load();
}

} // namespace Jux
