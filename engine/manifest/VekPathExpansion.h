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
// Failures throw vek::JobEngineException with: VEK_E_EXPAND_ENVIRONMENT (step 1 failed: no
// "vek"), VEK_E_EXPAND_JOB_ENVIRONMENT (step 2 failed), VEK_E_FOLDER_APPDATA (application data or
// desktop folder unavailable), VEK_E_FOLDER_DOCUMENTS (neither public downloads nor documents
// available), VEK_E_FOLDER_COMMON_DOCUMENTS (common documents unavailable before Vista),
// VEK_E_FOLDER_UNEXPANDED (a folder token resolved to its own name). Unknown token names are no
// failure: they stay as written.
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
