#pragma once
// Path expansion: resolves the Manifest document's tokens in place before the launcher
// bootstraps (the job engine's first bootstrap step calls it).
//
// 1. Every text value below "vek" is expanded with "vek"."environment" (EnvironmentParser).
// 2. Every job node that has an "environment" object is expanded again with it, so that job
//    tokens such as %PAYLOAD_SOURCE%, still unknown in step 1, resolve now.
// 3. "vek"."bootstrap"."run_location" gets its folder tokens %APPDATA%, %INSTALLDIR% and
//    %DESKTOP% replaced by the shell folders (only there) and one "\" appended.
//
// Failures throw vek::JobEngineException with: 0x80047E59 (step 1 failed: no "vek"), 0x80047E5A
// (step 2 failed), 0x80047E42 (application data or desktop folder unavailable), 0x80047E44
// (neither public downloads nor documents available), 0x80047E45 (common documents unavailable
// before Vista), 0x80047E47 (a folder token resolved to its own name). Unknown token names are
// no failure: they stay as written.
#include "engine/manifest/VekShellFolders.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <string>

namespace vek {

class ManifestDocument;

class VekPathExpansion {
public:
    // Without folders the shell's own are used.
    explicit VekPathExpansion(std::shared_ptr<IShellFolders> folders = nullptr);

    // Expands the document under its lock.
    void doPathExpansion(ManifestDocument& document);
    // Expands a root held by the caller.
    void doPathExpansion(nlohmann::json& root);
    // Replaces the folder tokens of a path.
    void expandPath(std::wstring& text);

private:
    std::wstring folderFor(const std::wstring& name, bool& isFolderToken);

    std::shared_ptr<IShellFolders> m_folders;
};

} // namespace vek
