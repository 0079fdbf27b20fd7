#pragma once
// Makes the global operator new of this test program fail on demand, so that the library's
// allocation-failure paths run for real (std::bad_alloc out of the allocator they use).
#include <cstddef>

namespace vektest {

// While an object lives, allocations of at least the given size on this thread throw
// std::bad_alloc.
class FailAllocations {
public:
    explicit FailAllocations(std::size_t atOrAbove);
    ~FailAllocations();
    FailAllocations(const FailAllocations&) = delete;
    FailAllocations& operator=(const FailAllocations&) = delete;

private:
    std::size_t m_previous;
};

} // namespace vektest
