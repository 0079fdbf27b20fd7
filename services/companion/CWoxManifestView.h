#pragma once
// The install job (element 0 of "vek"."job_array") of a manifest document, read for the
// companion-application installer. Components are selected by the job's
// "distribution"."components" (names separated by ","). Absent or mistyped members read as
// nothing found; nothing throws.
#include "services/companion/IWoxManifest.h"

namespace vek {

class CWoxManifestView : public IWoxManifest {
public:
    void init(nlohmann::json& document) override;
    bool findFile(const char* component, const char* type, nlohmann::json& entry) const override;
    bool getWoxDependencyFiles(std::vector<std::wstring>& files) const override;

private:
    const nlohmann::json* m_job = nullptr;
    std::vector<std::string> m_components;
};

} // namespace vek
