#include "engine/report/VekMachineIdCache.h"

#include "engine/mid/zubLifecycle.h"

#include <utility>

namespace vek {

VekMachineIdCache::VekMachineIdCache(Source source) : m_source(std::move(source)) {}

VekMachineIdCache& VekMachineIdCache::Process()
{
    static VekMachineIdCache cache([](std::wstring& id) { return zubLifecycle::RunMID(id); });
    return cache;
}

HRESULT VekMachineIdCache::Get(std::wstring& identifier)
{
    std::lock_guard lock(m_lock);
    if (m_identifier.empty()) {
        std::wstring found;
        const HRESULT hr = m_source ? m_source(found) : E_UNEXPECTED;
        if (hr != S_OK || found.empty()) {
            identifier.clear();
            return hr;
        }
        m_identifier = std::move(found);
    }
    identifier = m_identifier;
    return S_OK;
}

void VekMachineIdCache::Reset(Source source)
{
    std::lock_guard lock(m_lock);
    m_source = std::move(source);
    m_identifier.clear();
}

} // namespace vek
