#include "engine/job/VekJobPluginFile.h"

#include "common/errors/qkLog.h"
#include "services/launcher/VekUtil.h"
#include "services/launcher/VekValidateFile.h"
#include "services/trust/CLockedFileVerifier.h"

#include <cwchar>

namespace vek {

namespace {

std::string Text(const nlohmann::json& node, const char* key)
{
    const auto found = node.find(key);
    return found != node.end() && found->is_string() ? found->get<std::string>() : std::string();
}

} // namespace

bool FindPluginEntry(const nlohmann::json& job, const char* type, const std::wstring& classId, nlohmann::json& entry)
{
    const auto files = job.find("file_array");
    if (files == job.end() || !files->is_array()) {
        return false;
    }
    for (const auto& candidate : *files) {
        if (!candidate.is_object() || Text(candidate, "type") != type) {
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
    return FromUtf8(Text(entry, "destination_file"));
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
