#pragma once
// The machine's pending renames (the deletions that wait for the restart), read by tests that
// schedule some and put back as they were when the test ends. Tests that use it hold
// VEK_LOCK_PENDING_RENAMES.
#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

namespace pending {

// The machine's pending renames, put back as they were when the test ends.
class PendingRenames {
public:
    PendingRenames() { m_had = Read(m_saved); }
    ~PendingRenames()
    {
        HKEY key = Open();
        if (!key)
            return;
        if (m_had)
            RegSetValueExW(key, kValue, 0, REG_MULTI_SZ, m_saved.data(), static_cast<DWORD>(m_saved.size()));
        else
            RegDeleteValueW(key, kValue);
        RegCloseKey(key);
    }
    // Whether a rename of the path (to nothing, that is a deletion) is pending.
    bool HasDeletionOf(const std::wstring& path)
    {
        std::vector<BYTE> bytes;
        if (!Read(bytes))
            return false;
        const wchar_t* p = reinterpret_cast<const wchar_t*>(bytes.data());
        const wchar_t* end = p + bytes.size() / sizeof(wchar_t);
        const std::wstring wanted = L"\\??\\" + path;
        while (p < end && *p) {
            std::wstring from(p);
            p += from.size() + 1;
            std::wstring to(p < end ? p : L"");
            p += to.size() + 1;
            if (_wcsicmp(from.c_str(), wanted.c_str()) == 0 && to.empty())
                return true;
        }
        return false;
    }

private:
    static constexpr const wchar_t* kValue = L"PendingFileRenameOperations";
    static HKEY Open()
    {
        HKEY key = nullptr;
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
        return key;
    }
    static bool Read(std::vector<BYTE>& bytes)
    {
        HKEY key = Open();
        if (!key)
            return false;
        DWORD size = 0;
        bool ok = RegQueryValueExW(key, kValue, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS;
        if (ok) {
            bytes.assign(size, 0);
            ok = RegQueryValueExW(key, kValue, nullptr, nullptr, bytes.data(), &size) == ERROR_SUCCESS;
        }
        RegCloseKey(key);
        return ok;
    }
    bool m_had = false;
    std::vector<BYTE> m_saved;
};

} // namespace pending
