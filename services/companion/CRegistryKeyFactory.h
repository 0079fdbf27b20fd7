#pragma once
// Makes the registry-key objects of the companion-application installer: plain adapters over the
// system registry, or (in tests) adapters that put the keys somewhere of their own.
#include <memory>

#include "services/companion/CRegistryAdapter.h"

namespace vek {

class CRegistryKeyFactory {
public:
    virtual ~CRegistryKeyFactory() = default;
    virtual std::shared_ptr<CRegistryAdapter> CreateKey() { return std::make_shared<CRegistryAdapter>(); }
};

} // namespace vek
