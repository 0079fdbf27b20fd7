#include "services/trust/HashProvider.h"

#include <mutex>

namespace qkVerifyTrust {

namespace {
std::mutex g_lock;
std::function<std::shared_ptr<HashProvider>()>& Loader() {
  static std::function<std::shared_ptr<HashProvider>()> loader;
  return loader;
}
} // namespace

void HashProvider::Install(std::function<std::shared_ptr<HashProvider>()> loader) {
  std::lock_guard guard(g_lock);
  Loader() = std::move(loader);
}

std::shared_ptr<HashProvider> HashProvider::Load() {
  std::function<std::shared_ptr<HashProvider>()> loader;
  {
    std::lock_guard guard(g_lock);
    loader = Loader();
  }
  if (!loader) return nullptr;
  std::shared_ptr<HashProvider> provider = loader();
  return provider && provider->query ? provider : nullptr;
}

} // namespace qkVerifyTrust
