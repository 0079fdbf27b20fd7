#include "services/trust/HashProvider.h"

#include "services/trust/HashProviderDll.h"

#include <mutex>

namespace qkVerifyTrust {

namespace {
std::mutex g_providerLock;
std::function<std::shared_ptr<HashProvider>()>& Loader()
{
    static std::function<std::shared_ptr<HashProvider>()> loader;
    return loader;
}
} // namespace

void HashProvider::Install(std::function<std::shared_ptr<HashProvider>()> loader)
{
    std::lock_guard guard(g_providerLock);
    Loader() = std::move(loader);
}

std::shared_ptr<HashProvider> HashProvider::Load(const DllCheck& checkDll)
{
    std::function<std::shared_ptr<HashProvider>()> loader;
    {
        std::lock_guard guard(g_providerLock);
        loader = Loader();
    }
    std::shared_ptr<HashProvider> provider = loader ? loader() : HashProviderDll::Load(checkDll);
    return provider && provider->query ? provider : nullptr;
}

} // namespace qkVerifyTrust
