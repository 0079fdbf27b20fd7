#include "settings/legacy/LegacyKeyValues.h"

#include <cstring>
#include <cwchar>
#include <new>

#include "common/persist/qkMemoryArchive.h"
#include "settings/store/qkSettingsResult.h"

namespace qkSettings {

namespace {

constexpr DWORD kVersion = 1;

wchar_t Fold(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

} // namespace

bool LegacyNameLess::operator()(const std::wstring& a, const std::wstring& b) const
{
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        wchar_t x = Fold(a[i]), y = Fold(b[i]);
        if (x != y)
            return x < y;
    }
    return a.size() < b.size();
}

const std::map<std::wstring, LegacyKeyValues::Value, LegacyNameLess>& LegacyKeyValues::Values() const
{
    return m_values;
}

DWORD LegacyKeyValues::Set(const wchar_t* name, DWORD type, const void* data, DWORD length)
{
    if (name == nullptr || *name == 0 || (data == nullptr && length != 0))
        return result::kInvalidArg;
    try {
        auto found = m_values.find(name);
        if (found == m_values.end()) {
            Value v;
            v.state = m_loading ? kUnchanged : kNew;
            found = m_values.emplace(name, std::move(v)).first;
        } else {
            found->second.state = kChanged;
        }
        Value& v = found->second;
        v.type = type;
        v.data.assign(static_cast<const BYTE*>(data), static_cast<const BYTE*>(data) + length);
        DWORD units = static_cast<DWORD>(std::wcslen(name));
        if (units > m_longestName)
            m_longestName = units;
        if (length > m_largestData)
            m_largestData = length;
    } catch (const std::bad_alloc&) {
        return result::kOutOfMemory;
    }
    return result::kOk;
}

const LegacyKeyValues::Value* LegacyKeyValues::Find(const wchar_t* name) const
{
    if (name == nullptr)
        return nullptr;
    auto found = m_values.find(name);
    return found == m_values.end() ? nullptr : &found->second;
}

void LegacyKeyValues::Delete(const wchar_t* name)
{
    if (name == nullptr)
        return;
    auto found = m_values.find(name);
    if (found != m_values.end())
        found->second.state = kDeleted;
}

void LegacyKeyValues::DeleteAll()
{
    for (auto& entry : m_values)
        entry.second.state = kDeleted;
}

void LegacyKeyValues::MarkSaved()
{
    for (auto it = m_values.begin(); it != m_values.end();) {
        if (it->second.state == kDeleted) {
            it = m_values.erase(it);
            continue;
        }
        it->second.state = kUnchanged;
        ++it;
    }
}

void LegacyKeyValues::Clear()
{
    m_values.clear();
}

DWORD LegacyKeyValues::WriteFull(std::vector<BYTE>& out) const
{
    return Write(out, false);
}

DWORD LegacyKeyValues::WriteChanges(std::vector<BYTE>& out) const
{
    return Write(out, true);
}

DWORD LegacyKeyValues::Write(std::vector<BYTE>& out, bool changes) const
{
    qkMemoryArchive ar(qkLib::CArchive::ModeWrite);
    DWORD count = 0;
    for (const auto& entry : m_values)
        if (changes ? entry.second.state != kUnchanged : entry.second.state != kDeleted)
            ++count;
    BOOL ok = ar.WriteUInt32(kVersion) && ar.WriteUInt32(m_longestName) && ar.WriteUInt32(m_largestData) &&
              ar.WriteUInt32(count);
    for (const auto& entry : m_values) {
        const Value& v = entry.second;
        if (!ok || (changes ? v.state == kUnchanged : v.state == kDeleted))
            continue;
        ok = ar.WriteWString(entry.first) && ar.WriteUInt32(v.type);
        if (ok && changes)
            ok = ar.WriteUInt32(v.state);
        if (!ok || (changes && v.state == kDeleted))
            continue;
        if (v.type == kString) {
            // The stored bytes carry their terminator.
            std::wstring text(reinterpret_cast<const wchar_t*>(v.data.data()), v.data.size() / 2);
            if (!text.empty() && text.back() == 0)
                text.pop_back();
            ok = ar.WriteWString(text);
        } else if (v.type == kDword) {
            DWORD n = 0;
            std::memcpy(&n, v.data.data(), v.data.size() < 4 ? v.data.size() : 4);
            ok = ar.WriteUInt32(n);
        } else {
            ok = ar.WriteBlob(v.data.data(), static_cast<ULONG>(v.data.size()));
        }
    }
    ULONGLONG end = 0;
    if (!ok || !ar.GetPosition(&end))
        return result::kSerializationFailed;
    try {
        const BYTE* bytes = static_cast<const BYTE*>(ar.GetMemory().GetData());
        out.assign(bytes, bytes + end);
    } catch (const std::bad_alloc&) {
        return result::kOutOfMemory;
    }
    return result::kOk;
}

DWORD LegacyKeyValues::ReadFull(const BYTE* data, DWORD size)
{
    Clear();
    m_loading = true;
    DWORD r = Read(data, size, false);
    m_loading = false;
    return r;
}

DWORD LegacyKeyValues::ApplyChanges(const BYTE* data, DWORD size)
{
    return Read(data, size, true);
}

DWORD LegacyKeyValues::Read(const BYTE* data, DWORD size, bool changes)
{
    qkMemoryArchive ar(qkLib::CArchive::ModeRead);
    if (data == nullptr || !ar.Assign(data, size))
        return result::kSerializationFailed;
    ULONG version = 0, longest = 0, largest = 0, count = 0;
    if (!ar.ReadUInt32(&version))
        return result::kSerializationFailed;
    if (version != kVersion)
        return result::kUnknownFormatVersion;
    if (!ar.ReadUInt32(&longest) || !ar.ReadUInt32(&largest) || !ar.ReadUInt32(&count))
        return result::kSerializationFailed;
    // Everything is read first, so that a damaged form applies nothing.
    struct Item {
        std::wstring name;
        DWORD type;
        DWORD state;
        std::vector<BYTE> data;
    };
    std::vector<Item> items;
    try {
        for (ULONG i = 0; i < count; ++i) {
            Item item;
            ULONG type = 0, state = kChanged;
            if (!ar.ReadWString(item.name) || !ar.ReadUInt32(&type))
                return result::kSerializationFailed;
            if (changes && !ar.ReadUInt32(&state))
                return result::kSerializationFailed;
            item.type = type;
            item.state = state;
            if (!(changes && state == kDeleted)) {
                if (type == kString) {
                    std::wstring text;
                    if (!ar.ReadWString(text))
                        return result::kSerializationFailed;
                    const BYTE* b = reinterpret_cast<const BYTE*>(text.c_str());
                    item.data.assign(b, b + (text.size() + 1) * 2);
                } else if (type == kDword) {
                    ULONG n;
                    if (!ar.ReadUInt32(&n))
                        return result::kSerializationFailed;
                    const BYTE* b = reinterpret_cast<const BYTE*>(&n);
                    item.data.assign(b, b + 4);
                } else if (type == kBinary) {
                    qkMemory block;
                    if (!ar.ReadBlob(block))
                        return result::kSerializationFailed;
                    const BYTE* b = static_cast<const BYTE*>(block.GetData());
                    if (block.GetSize() > 0)
                        item.data.assign(b, b + block.GetSize());
                } else {
                    return result::kSerializationFailed;
                }
            }
            items.push_back(std::move(item));
        }
    } catch (const std::bad_alloc&) {
        return result::kOutOfMemory;
    }
    if (longest > m_longestName)
        m_longestName = longest;
    if (largest > m_largestData)
        m_largestData = largest;
    for (const Item& item : items) {
        if (changes && item.state == kDeleted) {
            m_values.erase(item.name);
            continue;
        }
        DWORD r = Set(item.name.c_str(), item.type, item.data.data(), static_cast<DWORD>(item.data.size()));
        if (!Succeeded(r))
            return r;
    }
    return result::kOk;
}

} // namespace qkSettings
