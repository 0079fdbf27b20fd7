#pragma once
// What the companion-application installer reads of the manifest: the install job's file
// entries. The engine's manifest view answers it in the launcher; CWoxManifestView is a small
// reader of its own for a document loaded from the launcher's file.
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace vek {

class IWoxManifest {
public:
    virtual ~IWoxManifest() = default;
    // Takes the loaded document (root "vek") and selects its install job.
    virtual void init(nlohmann::json& document) = 0;
    // Readies the install job for this run (the engine's view copies common values into it).
    virtual void prepare() {}
    // The first file entry of the install job whose "component" and "type" equal the given ones
    // without regard to case.
    virtual bool findFile(const char* component, const char* type, nlohmann::json& entry) const = 0;
    // With the "wox" component selected, the destination_file of every "wox_dependency" entry in
    // manifest order; true when any.
    virtual bool getWoxDependencyFiles(std::vector<std::wstring>& files) const = 0;
};

} // namespace vek
