#include "services/companion/CWoxManifestView.h"

#include "services/launcher/VekUtil.h"

#include <cstring>

namespace vek {
namespace {

const nlohmann::json* Member(const nlohmann::json* node, const char* name)
{
    if (node == nullptr || !node->is_object())
        return nullptr;
    const auto found = node->find(name);
    return found == node->end() ? nullptr : &*found;
}

bool TextEquals(const nlohmann::json* node, const char* expected)
{
    return node != nullptr && node->is_string() && _stricmp(node->get_ref<const std::string&>().c_str(), expected) == 0;
}

std::string Trim(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

} // namespace

void CWoxManifestView::init(nlohmann::json& document)
{
    m_job = nullptr;
    m_components.clear();
    const nlohmann::json* jobs = Member(Member(&document, "vek"), "job_array");
    if (jobs == nullptr || !jobs->is_array() || jobs->empty())
        return;
    m_job = &jobs->front();
    const nlohmann::json* components = Member(Member(m_job, "distribution"), "components");
    if (components == nullptr || !components->is_string())
        return;
    const std::string& list = components->get_ref<const std::string&>();
    for (std::size_t start = 0; start <= list.size();) {
        std::size_t end = list.find(',', start);
        if (end == std::string::npos)
            end = list.size();
        const std::string name = Trim(list.substr(start, end - start));
        if (!name.empty())
            m_components.push_back(name);
        start = end + 1;
    }
}

bool CWoxManifestView::findFile(const char* component, const char* type, nlohmann::json& entry) const
{
    const nlohmann::json* files = Member(m_job, "file_array");
    if (files == nullptr || !files->is_array())
        return false;
    for (const nlohmann::json& file : *files) {
        if (component != nullptr && !TextEquals(Member(&file, "component"), component))
            continue;
        if (type != nullptr && !TextEquals(Member(&file, "type"), type))
            continue;
        entry = file;
        return true;
    }
    return false;
}

bool CWoxManifestView::getWoxDependencyFiles(std::vector<std::wstring>& files) const
{
    files.clear();
    bool selected = false;
    for (const std::string& name : m_components)
        selected = selected || _stricmp(name.c_str(), "wox") == 0;
    const nlohmann::json* entries = Member(m_job, "file_array");
    if (!selected || entries == nullptr || !entries->is_array())
        return false;
    for (const nlohmann::json& file : *entries) {
        if (!TextEquals(Member(&file, "type"), "wox_dependency"))
            continue;
        const nlohmann::json* name = Member(&file, "destination_file");
        if (name != nullptr && name->is_string())
            files.push_back(FromUtf8(name->get<std::string>()));
    }
    return !files.empty();
}

} // namespace vek
