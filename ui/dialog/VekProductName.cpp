#include "ui/dialog/VekProductName.h"

#include "engine/manifest/ManifestAccess.h"
#include "engine/manifest/ManifestDocument.h"
#include "net/proxy/ManifestProductKind.h"

#include <atomic>

namespace vek {

namespace {

constexpr UINT kProductTitleKaj = 133;
constexpr UINT kProductTitleDefault = 146;

std::atomic<UINT> g_productNameStringId{kProductTitleDefault};

} // namespace

void SetProductNameStringId(const ManifestDocument& manifest)
{
    manifest.Read([](const nlohmann::json& root) {
        if (ManifestAccess::FirstJob(root) == nullptr)
            return;
        g_productNameStringId = ManifestRunKey(root) == L"KAJ" ? kProductTitleKaj : kProductTitleDefault;
    });
}

UINT GetProductNameStringId()
{
    return g_productNameStringId;
}

void ResetProductNameStringId(UINT id)
{
    g_productNameStringId = id;
}

} // namespace vek
