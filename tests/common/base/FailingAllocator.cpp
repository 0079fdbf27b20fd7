#include "FailingAllocator.h"

#include <cstdint>
#include <cstdlib>
#include <new>

namespace {
thread_local std::size_t g_failAtOrAbove = SIZE_MAX;
}

namespace vektest {

FailAllocations::FailAllocations(std::size_t atOrAbove) : m_previous(g_failAtOrAbove)
{
    g_failAtOrAbove = atOrAbove;
}

FailAllocations::~FailAllocations()
{
    g_failAtOrAbove = m_previous;
}

} // namespace vektest

// Replaces the program's global allocator; the default operator delete frees with free().
void* operator new(std::size_t size)
{
    if (size >= g_failAtOrAbove) {
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size != 0 ? size : 1)) {
        return p;
    }
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
