#include "engine/manifest/VekPathExpansion.h"

#include "common/errors/qkLog.h"
#include "engine/manifest/EnvironmentParser.h"
#include "engine/manifest/JobEngineException.h"
#include "engine/manifest/ManifestDocument.h"
#include "engine/manifest/ManifestJson.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekUtil.h"

#include <knownfolders.h>

namespace vek {

VekPathExpansion::VekPathExpansion(std::shared_ptr<IShellFolders> folders) : m_folders(std::move(folders))
{
    if (!m_folders) {
        m_folders = std::make_shared<CShellFolders>();
    }
}

void VekPathExpansion::doPathExpansion(ManifestDocument& document)
{
    document.Modify([this](nlohmann::json& root) { doPathExpansion(root); });
}

void VekPathExpansion::doPathExpansion(nlohmann::json& root)
{
    using json = nlohmann::json;
    json* vekNode = ManifestJson::Member(&root, "vek");
    // The environments are part of the tree they expand: each walk looks its tokens up in a copy
    // taken before it, so that a value changed during the walk (or one that names itself) is
    // never looked up half-expanded. Nested tokens still resolve through the repeated expansion.
    const json* environment = ManifestJson::Member(vekNode, "environment");
    const json documentEnvironment = environment != nullptr ? *environment : json::object();
    HRESULT hr = EnvironmentParser::RecursiveProcess(vekNode, 0, documentEnvironment);
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"environmentParser.RecursiveProcess() failed, hr=0x%08X", static_cast<unsigned>(hr));
        throw JobEngineException(VEK_E_EXPAND_ENVIRONMENT);
    }

    json* jobs = ManifestJson::Member(vekNode, "job_array");
    for (size_t i = 0; i < ManifestJson::ArraySize(jobs); ++i) {
        json* job = ManifestJson::Element(jobs, i);
        const json* jobEnvironment = ManifestJson::Member(job, "environment");
        if (jobEnvironment == nullptr) {
            continue;
        }
        if (!jobEnvironment->is_object()) {
            QK_LOG_WARNING(L"The environment of job %u is of type %s, not an object: not used",
                           static_cast<unsigned>(i), ManifestJson::TypeName(*jobEnvironment).c_str());
            continue;
        }
        const json jobEnvironmentCopy = *jobEnvironment;
        hr = EnvironmentParser::RecursiveProcess(job, 0, jobEnvironmentCopy);
        if (FAILED(hr)) {
            QK_LOG_ERROR(L"environmentParser.RecursiveProcess() failed for job enivronment, hr=0x%08X",
                         static_cast<unsigned>(hr));
            throw JobEngineException(VEK_E_EXPAND_JOB_ENVIRONMENT);
        }
    }

    // A missing run location stays missing: "\" alone would name the root of the current drive.
    json* bootstrap = ManifestJson::Member(vekNode, "bootstrap");
    const json* runLocation = ManifestJson::Member(bootstrap, "run_location");
    if (runLocation == nullptr) {
        QK_LOG_WARNING(L"No run location in the manifest");
        return;
    }
    std::wstring location = ManifestJson::WideText(runLocation, "run_location");
    if (location.empty()) {
        QK_LOG_WARNING(L"The run location in the manifest is empty");
        return;
    }
    expandPath(location);
    location += L'\\';
    ManifestJson::Set(bootstrap, "run_location", ToUtf8(location));
}

std::wstring VekPathExpansion::folderFor(const std::wstring& name, bool& isFolderToken)
{
    isFolderToken = true;
    std::wstring folder;
    if (name == L"APPDATA") {
        if (FAILED(m_folders->GetFolderPath(CSIDL_APPDATA, folder))) {
            throw JobEngineException(VEK_E_FOLDER_APPDATA);
        }
    } else if (name == L"INSTALLDIR") {
        if (m_folders->IsVistaOrLater()) {
            if (FAILED(m_folders->GetKnownFolderPath(FOLDERID_PublicDownloads, KF_FLAG_CREATE, folder))) {
                QK_LOG_ERROR(L"SHGetKnownFolderPath() failed to get FOLDERID_PublicDownloads");
                if (FAILED(m_folders->GetKnownFolderPath(FOLDERID_Documents, KF_FLAG_CREATE, folder))) {
                    QK_LOG_ERROR(L"SHGetKnownFolderPath() failed to get FOLDERID_Documents");
                    throw JobEngineException(VEK_E_FOLDER_DOCUMENTS);
                }
            }
        } else if (FAILED(m_folders->GetFolderPath(CSIDL_COMMON_DOCUMENTS, folder))) {
            QK_LOG_ERROR(L"SHGetFolderPath() failed to get CSIDL_COMMON_DOCUMENTS");
            throw JobEngineException(VEK_E_FOLDER_COMMON_DOCUMENTS);
        }
    } else if (name == L"DESKTOP") {
        if (FAILED(m_folders->GetFolderPath(CSIDL_DESKTOP, folder))) {
            QK_LOG_ERROR(L"SHGetFolderPath() failed to get CSIDL_DESKTOP");
            throw JobEngineException(VEK_E_FOLDER_APPDATA);
        }
    } else {
        isFolderToken = false;
        return {};
    }
    if (folder == name) {
        throw JobEngineException(VEK_E_FOLDER_UNEXPANDED);
    }
    return folder;
}

void VekPathExpansion::expandPath(std::wstring& text)
{
    size_t pos = 0;
    for (;;) {
        const size_t start = text.find(L'%', pos);
        if (start == std::wstring::npos) {
            return;
        }
        const size_t end = text.find(L'%', start + 1);
        if (end == std::wstring::npos) {
            return;
        }
        bool isFolderToken = false;
        const std::wstring folder = folderFor(text.substr(start + 1, end - start - 1), isFolderToken);
        if (!isFolderToken || folder.empty()) {
            pos = end + 1;
            continue;
        }
        text.replace(start, end - start + 1, folder);
        // Go on right after the inserted folder: a folder shorter than its token must not make
        // the search skip the text that followed the token.
        pos = start + folder.size();
    }
}

} // namespace vek
