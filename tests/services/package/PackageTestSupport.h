#pragma once
// Helpers of the package tests: fixture paths, whole-file reads and writes, a scratch folder of
// the test's own, and a builder of hand-made package bytes.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace packagetest {

using Bytes = std::vector<uint8_t>;

// A host path made by CMake, as Wine sees it (drive Z: is the host's root).
inline std::wstring HostPathToWindows(const std::string& unixPath)
{
    std::wstring out = L"Z:";
    for (char c : unixPath) {
        out += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    }
    return out;
}

inline std::wstring Fixture(const wchar_t* name)
{
    const char* dir = std::getenv("VEK_PACKAGE_FIXTURES");
    EXPECT_NE(dir, nullptr) << "VEK_PACKAGE_FIXTURES is not set";
    return HostPathToWindows(dir ? dir : "") + L"\\" + name;
}

inline Bytes ReadAll(const std::wstring& path)
{
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    Bytes data;
    if (h == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "cannot open fixture, error " << ::GetLastError();
        return data;
    }
    LARGE_INTEGER size{};
    ::GetFileSizeEx(h, &size);
    data.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!data.empty()) {
        ::ReadFile(h, data.data(), static_cast<DWORD>(data.size()), &read, nullptr);
    }
    ::CloseHandle(h);
    data.resize(read);
    return data;
}

inline void WriteAll(const std::wstring& path, const Bytes& data)
{
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << "error " << ::GetLastError();
    DWORD written = 0;
    if (!data.empty()) {
        ::WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    }
    ::CloseHandle(h);
    ASSERT_EQ(written, data.size());
}

// A folder of the test's own under the temporary folder, removed with its files at the end.
class ScratchFolder {
public:
    explicit ScratchFolder(const wchar_t* name)
    {
        wchar_t temp[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, temp);
        m_path = std::wstring(temp) + name + L"-" + std::to_wstring(::GetCurrentProcessId());
        ::CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~ScratchFolder()
    {
        WIN32_FIND_DATAW fd{};
        HANDLE find = ::FindFirstFileW((m_path + L"\\*").c_str(), &fd);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                    ::DeleteFileW((m_path + L"\\" + fd.cFileName).c_str());
                }
            } while (::FindNextFileW(find, &fd));
            ::FindClose(find);
        }
        ::RemoveDirectoryW(m_path.c_str());
    }
    std::wstring File(const wchar_t* name) const { return m_path + L"\\" + name; }
    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_path;
};

// Little-endian byte builder for hand-made packages.
class Builder {
public:
    Builder& U8(uint8_t v)
    {
        m_bytes.push_back(v);
        return *this;
    }
    Builder& U32(uint32_t v) { return Raw(&v, 4); }
    Builder& U64(uint64_t v) { return Raw(&v, 8); }
    Builder& Raw(const void* p, size_t n)
    {
        const auto* b = static_cast<const uint8_t*>(p);
        m_bytes.insert(m_bytes.end(), b, b + n);
        return *this;
    }
    Builder& Text(const std::string& s) { return Raw(s.data(), s.size()); }
    Builder& Wide(const std::wstring& s) { return Raw(s.data(), s.size() * 2); }
    Builder& Guid(const GUID& g) { return Raw(&g, sizeof(g)); }
    Builder& Append(const Bytes& b) { return Raw(b.data(), b.size()); }

    // A legacy record: typed-archive fields of id (with NUL), size and type index.
    Builder& LegacyRecord(const std::wstring& id, uint64_t size, uint32_t typeIndex)
    {
        return U8(8)
            .U32(static_cast<uint32_t>((id.size() + 1) * 2))
            .Wide(id)
            .U8(0)
            .U8(0)
            .U8(4)
            .U64(size)
            .U8(3)
            .U32(typeIndex);
    }
    // A version-5 record.
    Builder& Record5(const std::wstring& id, uint32_t size, const GUID& type)
    {
        return U32(static_cast<uint32_t>(id.size())).Wide(id).U32(size).Guid(type);
    }

    const Bytes& Get() const { return m_bytes; }

private:
    Bytes m_bytes;
};

} // namespace packagetest
