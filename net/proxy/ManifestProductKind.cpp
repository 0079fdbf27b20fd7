#include "net/proxy/ManifestProductKind.h"

#include "net/download/DownloadJson.h"

namespace vek {

namespace {

constexpr const wchar_t* kEndpointRunKey = L"QOR";

} // namespace

std::wstring JobRunKey(const nlohmann::json& job)
{
    const nlohmann::json* productData = JsonMember(job, "product_data");
    return productData != nullptr ? JsonWString(*productData, "run_key") : std::wstring();
}

std::wstring ManifestRunKey(const nlohmann::json& manifest)
{
    const nlohmann::json* vek = JsonMember(manifest, "vek");
    const nlohmann::json* jobs = vek != nullptr ? JsonMember(*vek, "job_array") : nullptr;
    if (jobs == nullptr || !jobs->is_array() || jobs->empty())
        return {};
    return JobRunKey(jobs->front());
}

bool IsEndpointJob(const nlohmann::json& job)
{
    return JobRunKey(job) == kEndpointRunKey;
}

bool IsEndpointManifest(const nlohmann::json& manifest)
{
    return ManifestRunKey(manifest) == kEndpointRunKey;
}

} // namespace vek
