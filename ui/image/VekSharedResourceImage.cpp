#include "ui/image/VekSharedResourceImage.h"

#include "ui/resources/CVekResourceLoader.h"

#include <map>
#include <mutex>
#include <utility>

namespace vek {

std::shared_ptr<VekResourceImage> VekSharedResourceImage::Get(UINT resourceId, const wchar_t* resourceType,
                                                              HMODULE module)
{
    // Keyed on the module and the resource found in the current language, so that a change of
    // language finds its own image.
    using Key = std::pair<HMODULE, HRSRC>;
    static std::mutex lock;
    static std::map<Key, std::weak_ptr<VekResourceImage>> images;

    HRSRC resource = CVekResourceLoader::Instance().FindResource(MAKEINTRESOURCEW(resourceId), resourceType, module);
    if (resource == nullptr)
        return nullptr;
    std::lock_guard guard(lock);
    const Key key(module, resource);
    if (auto found = images.find(key); found != images.end()) {
        if (std::shared_ptr<VekResourceImage> held = found->second.lock())
            return held;
        images.erase(found);
    }
    auto image = std::make_shared<VekResourceImage>();
    if (!image->Load(resourceId, resourceType, module))
        return nullptr;
    images.emplace(key, image);
    return image;
}

} // namespace vek
