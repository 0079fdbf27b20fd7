#include "PersistTestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>

namespace {
thread_local bool t_metering = false;
thread_local std::size_t t_largest = 0;
} // namespace

namespace persisttest {

Bytes Written(qkMemoryArchive& archive)
{
    ULONGLONG position = 0;
    archive.GetPosition(&position);
    const BYTE* data = static_cast<const BYTE*>(archive.GetMemory().GetData());
    return Bytes(data, data + position);
}

void Fill(qkMemoryArchive& archive, const Bytes& bytes)
{
    archive.Assign(bytes.data(), static_cast<ULONG>(bytes.size()));
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::string Hex(const Bytes& bytes)
{
    std::string text;
    char piece[4];
    for (BYTE b : bytes) {
        std::snprintf(piece, sizeof(piece), "%02X ", b);
        text += piece;
    }
    return text;
}

TempFolder::TempFolder()
{
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    m_path = std::wstring(base) + L"vek_persist_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
             std::to_wstring(GetTickCount64());
    std::filesystem::create_directories(m_path);
}

TempFolder::~TempFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::wstring TempFolder::Path(const wchar_t* name) const
{
    return m_path + L"\\" + name;
}

AllocationMeter::AllocationMeter()
{
    t_largest = 0;
    t_metering = true;
}

AllocationMeter::~AllocationMeter()
{
    t_metering = false;
}

std::size_t AllocationMeter::Largest() const
{
    return t_largest;
}

} // namespace persisttest

// Replaces the program's global allocator so that the meter sees every request.
void* operator new(std::size_t size)
{
    if (t_metering && size > t_largest)
        t_largest = size;
    if (void* p = std::malloc(size != 0 ? size : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
