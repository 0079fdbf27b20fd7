#include "engine/manifest/ManifestDocument.h"

#include "common/errors/qkLog.h"
#include "engine/manifest/ManifestJson.h"
#include "services/launcher/VekJobKeys.h"
#include "engine/manifest/VekJobStates.h"
#include "engine/manifest/VekOwnManifest.h"
#include "services/launcher/VekResultCodes.h"
#include "services/launcher/VekUtil.h"

#include <limits>
#include <memory>

namespace vek {

namespace {

// The deepest nesting of JSON text, counted over brackets outside strings and comments, so that
// a hostile text is refused before a recursive parse or copy ever sees it.
size_t TextDepth(std::string_view text)
{
    size_t depth = 0;
    size_t deepest = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i) {
                if (text[i] == '\\') {
                    ++i;
                }
            }
        } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '/') {
            while (i < text.size() && text[i] != '\n') {
                ++i;
            }
        } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
            const size_t end = text.find("*/", i + 2);
            i = end == std::string_view::npos ? text.size() : end + 1;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

} // namespace

HRESULT ManifestDocument::LoadFromLauncher(const wchar_t* launcherPath)
{
    std::shared_ptr<const json> own;
    const HRESULT hr = launcherPath != nullptr ? VekOwnManifest::Load(launcherPath, own) : E_INVALIDARG;
    if (FAILED(hr)) {
        QK_LOG_ERROR(L"LoadManifest() failed for %s, hr=0x%08X", launcherPath != nullptr ? launcherPath : L"(null)",
                     static_cast<unsigned>(hr));
        return hr;
    }
    return Adopt(*own);
}

HRESULT ManifestDocument::LoadFromText(std::string_view utf8)
{
    if (utf8.size() >= 3 && utf8.substr(0, 3) == "\xEF\xBB\xBF") {
        utf8.remove_prefix(3);
    }
    if (TextDepth(utf8) > kMaxDepth) {
        QK_LOG_ERROR(L"Manifest text is nested deeper than %u levels", static_cast<unsigned>(kMaxDepth));
        return VEK_E_JSON_NOT_PARSED;
    }
    json root = json::parse(utf8.begin(), utf8.end(), nullptr, false, true);
    if (root.is_discarded()) {
        QK_LOG_ERROR(L"Manifest text is not JSON");
        return VEK_E_JSON_NOT_PARSED;
    }
    return Adopt(std::move(root));
}

HRESULT ManifestDocument::Adopt(json root)
{
    if (!root.is_object()) {
        QK_LOG_ERROR(L"Manifest root is of type %s, not an object", ManifestJson::TypeName(root).c_str());
        return VEK_E_JSON_NOT_PARSED;
    }
    if (ManifestJson::Depth(root) > kMaxDepth) {
        QK_LOG_ERROR(L"Manifest is nested deeper than %u levels", static_cast<unsigned>(kMaxDepth));
        return VEK_E_JSON_NOT_PARSED;
    }
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    m_root = std::move(root);
    return S_OK;
}

std::string ManifestDocument::ToCompactText() const
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return ManifestJson::WriteCompact(m_root);
}

ManifestDocument::json ManifestDocument::Snapshot() const
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_root;
}

ManifestDocument::json* ManifestDocument::Job(size_t index)
{
    return ManifestJson::Element(ManifestJson::Path(&m_root, {"vek", "job_array"}), index);
}

const ManifestDocument::json* ManifestDocument::Job(size_t index) const
{
    return ManifestJson::Element(ManifestJson::Path(&m_root, {"vek", "job_array"}), index);
}

size_t ManifestDocument::GetJobCount() const
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return ManifestJson::ArraySize(ManifestJson::Path(&m_root, {"vek", "job_array"}));
}

bool ManifestDocument::GetJob(size_t index, json& job) const
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    const json* node = Job(index);
    if (node == nullptr) {
        return false;
    }
    job = *node;
    return true;
}

int32_t ManifestDocument::GetJobState(size_t index) const
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    const json* node = Job(index);
    return node != nullptr ? ReadJobState(*node) : eDownloadError;
}

bool ManifestDocument::SetJobState(size_t index, int32_t state, bool pluginStage)
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    json* node = Job(index);
    if (node == nullptr || !node->is_object()) {
        QK_LOG_WARNING(L"No job %u to set state %d on", static_cast<unsigned>(index), state);
        return false;
    }
    WriteJobState(*node, state, pluginStage);
    return true;
}

bool ManifestDocument::ResetJobState(size_t index)
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    json* node = Job(index);
    if (node == nullptr || !node->is_object()) {
        return false;
    }
    (*node)[jobkeys::kJobState] = static_cast<int32_t>(ePreProcess);
    (*node)[jobkeys::kJobErrorCode] = 0;
    (*node)[jobkeys::kErrorType] = static_cast<int32_t>(eErrorNone);
    return true;
}

bool ManifestDocument::RecordPluginEvent(size_t index, int32_t event, int32_t pluginErrorCode)
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    json* node = Job(index);
    if (node == nullptr || !node->is_object()) {
        return false;
    }
    const int32_t errorType = ErrorTypeForPluginEvent(event);
    if (errorType >= 0) {
        (*node)[jobkeys::kErrorType] = errorType;
    }
    if (event >= eJobRekeyStatus0 && event <= eJobRekeyStatus2) {
        (*node)[jobkeys::kRekeyStatus] = event - eJobRekeyStatus0;
    }
    if (event == eJobRekeyStatus1) {
        (*node)[jobkeys::kOtherErrors] = pluginErrorCode;
    }
    return true;
}

ManifestDocument::json ManifestDocument::GetJobValue(size_t index, std::string_view key) const
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    const json* value = ManifestJson::Member(Job(index), key);
    return value != nullptr ? *value : json();
}

bool ManifestDocument::SetJobValue(size_t index, std::string_view key, json value)
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return ManifestJson::Set(Job(index), key, std::move(value));
}

bool ManifestDocument::RemoveJobValue(size_t index, std::string_view key)
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return ManifestJson::Remove(Job(index), key);
}

void ManifestDocument::SetLastError(HRESULT code)
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    m_root[jobkeys::kLastError] = static_cast<int32_t>(code);
}

int32_t ManifestDocument::ReadJobState(const json& job)
{
    const int64_t state =
        ManifestJson::Integer(ManifestJson::Member(&job, jobkeys::kJobState), jobkeys::kJobState, eDownloadError);
    if (state < std::numeric_limits<int32_t>::min() || state > std::numeric_limits<int32_t>::max()) {
        QK_LOG_WARNING(L"job_state %lld is out of range: read as eDownloadError", static_cast<long long>(state));
        return eDownloadError;
    }
    return static_cast<int32_t>(state);
}

void ManifestDocument::WriteJobState(json& job, int32_t state, bool pluginStage)
{
    if (!job.is_object()) {
        QK_LOG_WARNING(L"Job node is of type %s: state %d not set", ManifestJson::TypeName(job).c_str(), state);
        return;
    }
    job[jobkeys::kJobState] = state;
    const int32_t errorType = ErrorTypeForState(state, pluginStage);
    if (errorType >= 0) {
        job[jobkeys::kErrorType] = errorType;
    }
}

} // namespace vek
