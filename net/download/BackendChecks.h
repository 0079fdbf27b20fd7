#pragma once
// Checks before a job downloads anything that the services it depends on answer: every address of
// the job's `backend_urls`, then the management service behind the reporting address.
#include <windows.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace vek {

// True when the checks pass or are skipped; else `job_error_description` says why.
bool ValidateBackendUrls(nlohmann::json& job, const nlohmann::json& options);
HRESULT ValidateBackendUrl(const nlohmann::json& entry, const nlohmann::json& proxySettings, DWORD& status);
// S_OK for an accepted status, S_FALSE for a refused one, else the request's failure.
HRESULT ProbeUrl(const std::wstring& address, const std::wstring& verb, const std::vector<DWORD>& accepted,
                 const nlohmann::json& proxySettings, DWORD& status);

} // namespace vek
