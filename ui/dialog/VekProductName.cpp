#include "ui/dialog/VekProductName.h"

#include "engine/manifest/ManifestDocument.h"

#include <atomic>

namespace vek {

namespace {

constexpr UINT kProductTitleKaj = 133;
constexpr UINT kProductTitleDefault = 146;

std::atomic<UINT> g_productNameStringId{kProductTitleDefault};

} // namespace

void SetProductNameStringId(const ManifestDocument& manifest)
{
    nlohmann::json job;
    if (!manifest.GetJob(0, job) || !job.is_object())
        return;
    std::string runKey;
    const auto data = job.find("product_data");
    if (data != job.end() && data->is_object()) {
        const auto key = data->find("run_key");
        if (key != data->end() && key->is_string())
            runKey = key->get<std::string>();
    }
    g_productNameStringId = runKey == "KAJ" ? kProductTitleKaj : kProductTitleDefault;
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
