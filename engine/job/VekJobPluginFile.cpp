#include "engine/job/VekJobPluginFile.h"

#include "common/errors/qkLog.h"
#include "engine/manifest/ManifestAccess.h"
#include "engine/manifest/ManifestJson.h"
#include "services/launcher/VekUtil.h"
#include "services/launcher/VekValidateFile.h"
#include "services/trust/CLockedFileVerifier.h"

#include <cwchar>

namespace vek {

bool FindPluginEntry(const nlohmann::json& job, const char* type, const std::wstring& classId, nlohmann::json& entry)
{
    const nlohmann::json* files = ManifestAccess::Files(job);
    if (files == nullptr) {
        return false;
    }
    for (const auto& candidate : *files) {
        if (!candidate.is_object() || ManifestJson::Text(ManifestJson::Member(&candidate, "type"), "type") != type) {
            continue;
        }
        const auto clsid = candidate.find("clsid");
        if (clsid == candidate.end() || !clsid->is_string()) {
            continue;
        }
        const std::wstring given = FromUtf8(clsid->get<std::string>());
        QK_LOG_INFO(L"GUID of plugin=%s,GUID in manifest=%s", classId.c_str(), given.c_str());
        if (_wcsicmp(classId.c_str(), given.c_str()) == 0) {
            entry = candidate;
            return true;
        }
    }
    return false;
}

std::wstring PluginFilePath(const nlohmann::json& entry)
{
    return ManifestAccess::DestinationFile(entry);
}

HRESULT VerifyPluginFile(const std::wstring& path, const nlohmann::json& entry, CLockedFileVerifier& verifier)
{
    if (path.empty()) {
        return E_INVALIDARG;
    }
    const HRESULT trusted = verifier.VerifyFile(path.c_str(), true);
    if (FAILED(trusted)) {
        return trusted;
    }
    const auto validation = entry.find("validation");
    int32_t validationError = 0;
    const HRESULT valid =
        ValidateFile(path.c_str(), validation != entry.end() ? &*validation : nullptr, &validationError);
    if (FAILED(valid)) {
        QK_LOG_ERROR(L"The held plug-in file %s does not match its entry, hr=0x%08X, validationError=0x%08X",
                     path.c_str(), valid, validationError);
    }
    return valid;
}

} // namespace vek
