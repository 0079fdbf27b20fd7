#include "PersistTestSupport.h"

#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <new>

namespace {
thread_local bool t_metering = false;
thread_local std::size_t t_largest = 0;
// What the metered thread allocated and has not freed, and the most of it at any moment.
thread_local std::size_t t_live = 0;
thread_local std::size_t t_peak = 0;
// Set while the meter's own bookkeeping allocates.
thread_local bool t_inside = false;

void Allocated(std::size_t size)
{
    if (size > t_largest)
        t_largest = size;
    t_live += size;
    if (t_live > t_peak)
        t_peak = t_live;
}

void Freed(std::size_t size)
{
    t_live -= size < t_live ? size : t_live;
}

// Sees every block of the COM task allocator, which safe arrays and BSTRs come from: the size
// asked for, kept by block so that its release is counted too.
class MallocSpy : public IMallocSpy {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        *object = (iid == IID_IUnknown || iid == IID_IMallocSpy) ? this : nullptr;
        return *object ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T size) override
    {
        m_asked = size;
        return size;
    }
    void* STDMETHODCALLTYPE PostAlloc(void* block) override
    {
        if (block && t_metering && !t_inside) {
            Keep(block, m_asked);
            Allocated(m_asked);
        }
        return block;
    }
    void* STDMETHODCALLTYPE PreFree(void* block, BOOL) override
    {
        Forget(block);
        return block;
    }
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void* block, SIZE_T size, void** out, BOOL) override
    {
        Forget(block);
        *out = block;
        m_asked = size;
        return size;
    }
    void* STDMETHODCALLTYPE PostRealloc(void* block, BOOL) override { return PostAlloc(block); }
    void* STDMETHODCALLTYPE PreGetSize(void* block, BOOL) override { return block; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T size, BOOL) override { return size; }
    void* STDMETHODCALLTYPE PreDidAlloc(void* block, BOOL) override { return block; }
    int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int result) override { return result; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}

private:
    void Keep(void* block, SIZE_T size)
    {
        t_inside = true;
        m_blocks[block] = size;
        t_inside = false;
    }
    void Forget(void* block)
    {
        const auto it = m_blocks.find(block);
        if (it == m_blocks.end())
            return;
        if (t_metering)
            Freed(it->second);
        t_inside = true;
        m_blocks.erase(it);
        t_inside = false;
    }
    SIZE_T m_asked = 0;
    std::map<void*, SIZE_T> m_blocks;
};

MallocSpy g_spy;

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
    t_largest = t_live = t_peak = 0;
    m_spying = SUCCEEDED(CoRegisterMallocSpy(&g_spy));
    t_metering = true;
}

AllocationMeter::~AllocationMeter()
{
    t_metering = false;
    if (m_spying)
        CoRevokeMallocSpy();
}

std::size_t AllocationMeter::Largest() const
{
    return t_largest;
}

std::size_t AllocationMeter::PeakTotal() const
{
    return t_peak;
}

} // namespace persisttest

// Replaces the program's global allocator so that the meter sees every request.
void* operator new(std::size_t size)
{
    void* p = std::malloc(size != 0 ? size : 1);
    if (!p)
        throw std::bad_alloc();
    if (t_metering && !t_inside)
        Allocated(_msize(p));
    return p;
}

namespace {

void Release(void* p)
{
    if (p && t_metering && !t_inside)
        Freed(_msize(p));
    std::free(p);
}

} // namespace

void operator delete(void* p) noexcept
{
    Release(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    Release(p);
}
