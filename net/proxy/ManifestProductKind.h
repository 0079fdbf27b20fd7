#pragma once
// The kind of product a manifest installs, from its install job (element 0 of
// "vek"."job_array"): its "product_data"."run_key". The proxy selection, the engine's manifest
// view, the reporters, the run task and the user interface read the key through here.
#include <nlohmann/json.hpp>

#include <string>

namespace vek {

// A job node's product_data.run_key; empty when a step is missing or it is not text.
std::wstring JobRunKey(const nlohmann::json& job);
// The install job's run key.
std::wstring ManifestRunKey(const nlohmann::json& manifest);
// The job, or the manifest's install job, installs the endpoint product: its run key is "QOR",
// letter case included.
bool IsEndpointJob(const nlohmann::json& job);
bool IsEndpointManifest(const nlohmann::json& manifest);

} // namespace vek
