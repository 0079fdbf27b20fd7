#include "settings/legacy/LegacySettingsDatabase.h"

#include <new>
#include <sstream>

#include "common/base/qkTrace.h"
#include "settings/store/qkSettingsResult.h"

namespace qkSettings {

namespace {

std::vector<std::wstring> SplitPath(const std::wstring& path)
{
    std::vector<std::wstring> names;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(L'\\', start);
        if (end == std::wstring::npos)
            end = path.size();
        if (end > start)
            names.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

} // namespace

LegacySettingsDatabase::~LegacySettingsDatabase()
{
    Close();
}

std::wstring LegacySettingsDatabase::NormalizeKeyPath(const std::wstring& path)
{
    size_t first = path.find_first_not_of(L'\\');
    if (first == std::wstring::npos)
        return std::wstring();
    size_t last = path.find_last_not_of(L'\\');
    return path.substr(first, last - first + 1);
}

void LegacySettingsDatabase::Reset()
{
    m_root.reset(new LegacyTreeNode(L"", &m_store));
    m_root->SetFlags(LegacyTreeNode::kNoDelete);
}

void LegacySettingsDatabase::Close()
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_root.reset();
    m_store.Close();
}

DWORD LegacySettingsDatabase::Open(const wchar_t* path, bool create, ISettingsCipher* cipher)
{
    if (path == nullptr || *path == 0)
        return result::kInvalidArg;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    Close();
    try {
        Reset();
    } catch (const std::bad_alloc&) {
        return result::kOutOfMemory;
    }
    if (cipher != nullptr)
        m_store.SetCipher(cipher);
    if (!create) {
        DWORD attributes = ::GetFileAttributesW(path);
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return MapWin32ToResult(::GetLastError());
        if (!m_readOnly)
            m_readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    }
    m_store.SetRecordHandler([this](const wchar_t* name, ULONGLONG id, DWORD length) {
        return CreateKeyPath(NormalizeKeyPath(name), id, length, nullptr);
    });
    DWORD r = m_store.OpenStore(path, create && !m_readOnly, create && !m_plainSecurity, m_readOnly);
    if (Succeeded(r) && !m_store.Load())
        r = MapWin32ToResult(m_store.GetLastError() ? m_store.GetLastError() : ERROR_FILE_CORRUPT);
    if (!Succeeded(r)) {
        Close();
        return r;
    }
    m_root->SetFlags(LegacyTreeNode::kNoDelete);
    return result::kOk;
}

LegacyTreeNode* LegacySettingsDatabase::CreateKeyPath(const std::wstring& path, ULONGLONG recordId, DWORD length,
                                                      LegacyTreeNode* start)
{
    (void)length;
    LegacyTreeNode* node = start ? start : m_root.get();
    if (node == nullptr)
        return nullptr;
    DWORD flags = m_store.IsOpen() ? 0 : LegacyTreeNode::kStoreClosed;
    try {
        std::vector<std::wstring> names = SplitPath(path);
        if (names.size() > kMaxKeyDepth) {
            QK_TRACE(L"a key path of %u names is deeper than a key may go", static_cast<unsigned>(names.size()));
            return nullptr;
        }
        for (const std::wstring& name : names) {
            LegacyTreeNode* child = node->FindChild(name.c_str());
            if (child == nullptr) {
                child = node->AddChild(name.c_str(), name.size());
                if (child == nullptr)
                    return nullptr;
                child->SetFlags(flags);
            }
            node = child;
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    if (recordId != 0)
        node->SetRecordId(recordId);
    if (node != m_root.get())
        node->SetFlags(flags);
    return node;
}

LegacyTreeNode* LegacySettingsDatabase::Resolve(const std::wstring& path, LegacyTreeNode** parent)
{
    LegacyTreeNode* node = m_root.get();
    LegacyTreeNode* above = nullptr;
    if (node == nullptr)
        return nullptr;
    for (const std::wstring& name : SplitPath(path)) {
        above = node;
        node = node->FindChild(name.c_str());
        if (node == nullptr)
            return nullptr;
    }
    if (parent != nullptr)
        *parent = above;
    return node;
}

bool LegacySettingsDatabase::KeyExists(const std::wstring& path)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return Resolve(NormalizeKeyPath(path), nullptr) != nullptr;
}

bool LegacySettingsDatabase::LoadKeyValues(const std::wstring& path, LegacyKeyValues& target)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    LegacyTreeNode* node = Resolve(NormalizeKeyPath(path), nullptr);
    if (node == nullptr)
        return false;
    target.Clear();
    if (node->RecordId() == 0)
        return true;
    DWORD size = 0;
    if (!m_store.ReadValue(node->RecordId(), nullptr, &size))
        return false;
    std::vector<BYTE> data;
    try {
        data.resize(size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!m_store.ReadValue(node->RecordId(), data.data(), &size) || size != data.size())
        return false;
    return Succeeded(target.ReadFull(data.data(), size));
}

DWORD LegacySettingsDatabase::SaveKey(const std::wstring& rawPath, const std::vector<BYTE>& changes)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_readOnly)
        return result::kAccessDenied;
    std::wstring path = NormalizeKeyPath(rawPath);
    if (changes.empty())
        return result::kInvalidArg;
    // A key deeper than a record may name would make a file that no longer loads.
    if (SplitPath(path).size() > kMaxKeyDepth)
        return result::kBadPath;
    LegacyTreeNode* node = Resolve(path, nullptr);
    if (node != nullptr && (node->Flags() & LegacyTreeNode::kStoreClosed))
        return result::kAccessDenied;
    LegacyKeyValues values;
    if (node != nullptr && node->RecordId() != 0 && !LoadKeyValues(path, values))
        return result::kFailure;
    DWORD r = values.ApplyChanges(changes.data(), static_cast<DWORD>(changes.size()));
    if (!Succeeded(r))
        return r;
    std::vector<BYTE> full;
    r = values.WriteFull(full);
    if (!Succeeded(r))
        return r;
    if (node != nullptr && node->RecordId() != 0) {
        ULONGLONG id = node->RecordId();
        if (!m_store.UpdateValue(&id, path.c_str(), full.data(), static_cast<DWORD>(full.size())))
            return result::kFailure;
        node->SetRecordId(id);
    } else {
        bool created = node == nullptr;
        if (created) {
            node = CreateKeyPath(path, 0, 0, nullptr);
            if (node == nullptr)
                return result::kOutOfMemory;
        }
        ULONGLONG id = 0;
        if (!m_store.AddValue(path.c_str(), full.data(), static_cast<DWORD>(full.size()), &id)) {
            if (created) {
                LegacyTreeNode* parent = nullptr;
                if (Resolve(path, &parent) != nullptr && parent != nullptr)
                    parent->RemoveChild(node);
            }
            return result::kFailure;
        }
        node->SetRecordId(id);
    }
    ++m_saves;
    return result::kOk;
}

bool LegacySettingsDatabase::DeleteKey(const std::wstring& rawPath)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    std::wstring path = NormalizeKeyPath(rawPath);
    if (path.empty() || m_readOnly)
        return false;
    LegacyTreeNode* parent = nullptr;
    LegacyTreeNode* node = Resolve(path, &parent);
    if (node == nullptr)
        return true;
    if (parent == nullptr || (node->Flags() & (LegacyTreeNode::kNoDelete | LegacyTreeNode::kStoreClosed)))
        return false;
    ULONGLONG cached = 0;
    if (!node->DeleteSubtree(nullptr, &cached))
        return false;
    parent->RemoveChild(node);
    return true;
}

bool LegacySettingsDatabase::EnumerateSubkeys(const std::wstring& path, std::vector<std::wstring>& names)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    LegacyTreeNode* node = Resolve(NormalizeKeyPath(path), nullptr);
    return node != nullptr && node->GetChildNames(names, false);
}

} // namespace qkSettings
