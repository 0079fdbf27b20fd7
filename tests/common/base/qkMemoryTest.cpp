#include "common/base/qkMemory.h"

#include "FailingAllocator.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// Counts the hook calls of the buffer.
class CountingMemory : public qkMemory {
public:
    struct Call {
        void* data;
        ULONG size;
    };
    std::vector<Call> allocated;
    std::vector<Call> freeing;

protected:
    void OnAllocated(void* data, ULONG size) override { allocated.push_back({data, size}); }
    void OnFreeing(void* data, ULONG size) override { freeing.push_back({data, size}); }
};

bool AllBytes(const void* data, size_t from, size_t to, BYTE value)
{
    const BYTE* p = static_cast<const BYTE*>(data);
    for (size_t i = from; i < to; ++i) {
        if (p[i] != value) {
            return false;
        }
    }
    return true;
}

void Fill(void* data, ULONG size)
{
    BYTE* p = static_cast<BYTE*>(data);
    for (ULONG i = 0; i < size; ++i) {
        p[i] = static_cast<BYTE>(i * 7 + 1);
    }
}

bool Filled(const void* data, ULONG size)
{
    const BYTE* p = static_cast<const BYTE*>(data);
    for (ULONG i = 0; i < size; ++i) {
        if (p[i] != static_cast<BYTE>(i * 7 + 1)) {
            return false;
        }
    }
    return true;
}

int g_customFrees = 0;
void* CustomAllocate(ULONG size)
{
    return ::HeapAlloc(::GetProcessHeap(), 0, size);
}
void CustomFree(void* data)
{
    ++g_customFrees;
    ::HeapFree(::GetProcessHeap(), 0, data);
}
void* FailingAllocate(ULONG)
{
    return nullptr;
}

ULONG PageSize()
{
    SYSTEM_INFO info = {};
    ::GetSystemInfo(&info);
    return info.dwPageSize;
}

TEST(qkMemory, InlineAndCrtAllocation)
{
    CountingMemory m;
    void* p = m.NewAlloc(128);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(qkMemory::KindInline, m.GetKind());
    EXPECT_EQ(128u, m.GetSize());
    EXPECT_TRUE(m.allocated.empty()); // inline through NewAlloc: no hook

    std::memset(p, 0xAB, 128);
    p = m.NewAlloc(129);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(qkMemory::KindCrtHeap, m.GetKind());
    EXPECT_EQ(129u, m.GetSize());
    EXPECT_TRUE(AllBytes(p, 0, 129, 0));
    ASSERT_EQ(1u, m.allocated.size());
    EXPECT_EQ(p, m.allocated[0].data);
    EXPECT_EQ(129u, m.allocated[0].size);

    m.Free();
    EXPECT_EQ(qkMemory::KindNone, m.GetKind());
    EXPECT_EQ(nullptr, m.GetData());
    EXPECT_EQ(0u, m.GetSize());

    // AllocateInline calls the hook; it does not clear.
    m.allocated.clear();
    EXPECT_NE(nullptr, m.AllocateInline(16));
    EXPECT_EQ(1u, m.allocated.size());
    EXPECT_EQ(qkMemory::KindInline, m.GetKind());
    EXPECT_NE(nullptr, m.AllocateInline(500));
    EXPECT_EQ(qkMemory::KindCrtHeap, m.GetKind());
}

TEST(qkMemory, FreeCallsHookEvenWhenEmptyButNotForAttached)
{
    CountingMemory m;
    m.Free();
    EXPECT_EQ(1u, m.freeing.size());
    BYTE outside[10] = {};
    m.Attach(outside, sizeof(outside));
    m.freeing.clear();
    m.Free();
    EXPECT_TRUE(m.freeing.empty());
}

TEST(qkMemory, ProcessHeapAndVirtual)
{
    qkMemory m;
    void* p = m.AllocateProcessHeap(200);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(qkMemory::KindProcessHeap, m.GetKind());
    EXPECT_GE(m.GetSize(), 200u);
    EXPECT_TRUE(AllBytes(p, 0, m.GetSize(), 0));
    EXPECT_NE(nullptr, m.AllocateProcessHeap(100));
    EXPECT_EQ(qkMemory::KindInline, m.GetKind());

    const ULONG page = PageSize();
    p = m.AllocateVirtual(1);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(qkMemory::KindVirtual, m.GetKind());
    EXPECT_EQ(page, m.GetSize());
    // Same page count: nothing changes.
    EXPECT_EQ(p, m.Resize(page - 96));
    EXPECT_EQ(page, m.GetSize());
    // More pages: moved, contents kept.
    Fill(p, page);
    void* q = m.Resize(page * 3 - 5);
    ASSERT_NE(nullptr, q);
    EXPECT_EQ(qkMemory::KindVirtual, m.GetKind());
    EXPECT_EQ(page * 3, m.GetSize());
    EXPECT_TRUE(Filled(q, page));
    EXPECT_NE(nullptr, m.AllocateVirtual(page * 2));
    EXPECT_EQ(page * 2, m.GetSize());

    EXPECT_EQ(nullptr, m.AllocateVirtual(0));
    EXPECT_EQ(qkMemory::KindNone, m.GetKind());
    EXPECT_EQ(0u, m.GetSize());
}

TEST(qkMemory, AllocateByKind)
{
    struct Case {
        ULONG kind;
        ULONG size;
        ULONG expectedKind;
        bool ok;
    } cases[] = {
        {0, 10, qkMemory::KindNone, false},         {1, 10, qkMemory::KindNone, false},
        {2, 10, qkMemory::KindInline, true},        {2, 1000, qkMemory::KindCrtHeap, true},
        {3, 1000, qkMemory::KindProcessHeap, true}, {4, 10, qkMemory::KindVirtual, true},
        {5, 10, qkMemory::KindInline, true},        {6, 10, qkMemory::KindNone, false}, // no callback set
        {77, 10, qkMemory::KindNone, false},
    };
    for (const auto& c : cases) {
        qkMemory m;
        m.NewAlloc(500);
        EXPECT_EQ(c.ok, m.Allocate(c.kind, c.size) != nullptr) << c.kind;
        EXPECT_EQ(c.expectedKind, m.GetKind()) << c.kind;
    }
}

TEST(qkMemory, ResizeMovesBetweenInlineAndHeap)
{
    CountingMemory m;
    void* p = m.NewAlloc(100);
    Fill(p, 100);
    void* q = m.Resize(300);
    ASSERT_NE(nullptr, q);
    EXPECT_EQ(qkMemory::KindCrtHeap, m.GetKind());
    EXPECT_EQ(300u, m.GetSize());
    EXPECT_TRUE(Filled(q, 100));
    EXPECT_TRUE(AllBytes(q, 100, 300, 0));
    EXPECT_EQ(1u, m.allocated.size());

    // Inline stays inline within 128 bytes: only the size changes.
    qkMemory small;
    p = small.NewAlloc(10);
    EXPECT_EQ(p, small.Resize(120));
    EXPECT_EQ(120u, small.GetSize());

    // A process-heap block shrunk to 50 moves inline keeping its first 50 bytes.
    qkMemory heap;
    p = heap.AllocateProcessHeap(300);
    Fill(p, 300);
    q = heap.Resize(50);
    ASSERT_NE(nullptr, q);
    EXPECT_EQ(qkMemory::KindInline, heap.GetKind());
    EXPECT_EQ(50u, heap.GetSize());
    EXPECT_TRUE(Filled(q, 50));

    // A process-heap block grows in place through the heap, zero-filled at the end.
    p = heap.AllocateProcessHeap(300);
    Fill(p, 300);
    q = heap.Resize(5000);
    ASSERT_NE(nullptr, q);
    EXPECT_EQ(qkMemory::KindProcessHeap, heap.GetKind());
    EXPECT_GE(heap.GetSize(), 5000u);
    EXPECT_TRUE(Filled(q, 300));
    EXPECT_TRUE(AllBytes(q, heap.GetSize() - 100, heap.GetSize(), 0));

    // A CRT block shrunk to 100 lands inline.
    qkMemory crt;
    p = crt.NewAlloc(1000);
    Fill(p, 1000);
    q = crt.Resize(100);
    EXPECT_EQ(qkMemory::KindInline, crt.GetKind());
    EXPECT_TRUE(Filled(q, 100));
    q = crt.Resize(2000);
    EXPECT_EQ(qkMemory::KindCrtHeap, crt.GetKind());
    EXPECT_TRUE(Filled(q, 100));
}

TEST(qkMemory, ResizeRefusals)
{
    qkMemory m;
    EXPECT_EQ(nullptr, m.Resize(10));
    BYTE outside[10] = {};
    m.Attach(outside, sizeof(outside));
    EXPECT_EQ(nullptr, m.Resize(20));
    EXPECT_EQ(qkMemory::KindAttached, m.GetKind());
    EXPECT_EQ(outside, m.GetData());
    EXPECT_EQ(10u, m.GetSize());
}

TEST(qkMemory, FailedGrowthOfInlineBlockLeavesItAsItWas)
{
    qkMemory m;
    void* p = m.NewAlloc(100);
    Fill(p, 100);
    {
        vektest::FailAllocations fail(200);
        EXPECT_EQ(nullptr, m.Resize(300));
    }
    EXPECT_EQ(qkMemory::KindInline, m.GetKind());
    EXPECT_EQ(100u, m.GetSize());
    EXPECT_EQ(p, m.GetData());
    EXPECT_TRUE(Filled(p, 100));
}

TEST(qkMemory, FailedAllocationsLeaveObjectEmpty)
{
    qkMemory m;
    m.NewAlloc(1000);
    {
        vektest::FailAllocations fail(200);
        EXPECT_EQ(nullptr, m.NewAlloc(500));
        EXPECT_EQ(qkMemory::KindNone, m.GetKind());
        EXPECT_EQ(0u, m.GetSize());
        // A CRT block that cannot grow stays as it was.
        m.NewAlloc(150);
    }
    void* p = m.NewAlloc(150);
    Fill(p, 150);
    {
        vektest::FailAllocations fail(200);
        EXPECT_EQ(nullptr, m.Resize(400));
    }
    EXPECT_EQ(p, m.GetData());
    EXPECT_EQ(150u, m.GetSize());
    EXPECT_TRUE(Filled(p, 150));
}

TEST(qkMemory, CustomAllocator)
{
    g_customFrees = 0;
    {
        qkMemory m;
        EXPECT_FALSE(m.SetAllocator(nullptr, CustomFree));
        EXPECT_EQ(nullptr, m.AllocateCustom(10));
        ASSERT_TRUE(m.SetAllocator(CustomAllocate, CustomFree));
        void* p = m.AllocateCustom(64);
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(qkMemory::KindCustom, m.GetKind());
        EXPECT_TRUE(AllBytes(p, 0, 64, 0));
        // Refused while a callback block is held.
        EXPECT_FALSE(m.SetAllocator(FailingAllocate, CustomFree));
        Fill(p, 64);
        void* q = m.Resize(1000);
        ASSERT_NE(nullptr, q);
        EXPECT_EQ(qkMemory::KindCustom, m.GetKind());
        EXPECT_TRUE(Filled(q, 64));
        EXPECT_EQ(1, g_customFrees); // the old block
        // The kept callbacks are still the working ones.
        EXPECT_NE(nullptr, m.AllocateCustom(5));
        EXPECT_EQ(2, g_customFrees);
    }
    EXPECT_EQ(3, g_customFrees);

    qkMemory failing;
    ASSERT_TRUE(failing.SetAllocator(FailingAllocate, CustomFree));
    EXPECT_EQ(nullptr, failing.AllocateCustom(10));
    EXPECT_EQ(qkMemory::KindNone, failing.GetKind());
}

TEST(qkMemory, CopyAssignTakeOver)
{
    qkMemory source;
    void* p = source.NewAlloc(1000);
    Fill(p, 1000);
    qkMemory copy;
    ASSERT_TRUE(copy.Copy(source));
    EXPECT_EQ(qkMemory::KindCrtHeap, copy.GetKind());
    EXPECT_NE(p, copy.GetData());
    EXPECT_TRUE(Filled(copy.GetData(), 1000));

    qkMemory empty;
    EXPECT_TRUE(copy.Copy(empty));
    EXPECT_EQ(qkMemory::KindNone, copy.GetKind());

    BYTE outside[10] = {};
    qkMemory attached;
    attached.Attach(outside, sizeof(outside));
    EXPECT_FALSE(copy.Copy(attached));

    // Assign refuses null or 0 bytes without touching the block.
    qkMemory a;
    a.NewAlloc(20);
    EXPECT_FALSE(a.Assign(nullptr, 5));
    EXPECT_FALSE(a.Assign(outside, 0));
    EXPECT_EQ(20u, a.GetSize());
    EXPECT_TRUE(a.Assign(p, 300));
    EXPECT_EQ(qkMemory::KindCrtHeap, a.GetKind());
    EXPECT_TRUE(Filled(a.GetData(), 300));
    // Assigning part of its own block.
    EXPECT_TRUE(a.Assign(a.GetData(), 100));
    EXPECT_EQ(qkMemory::KindInline, a.GetKind());
    EXPECT_TRUE(Filled(a.GetData(), 100));

    // TakeOver moves a heap block as it is and leaves the source empty.
    qkMemory taker;
    ASSERT_TRUE(taker.TakeOver(source));
    EXPECT_EQ(p, taker.GetData());
    EXPECT_EQ(1000u, taker.GetSize());
    EXPECT_EQ(qkMemory::KindNone, source.GetKind());
    EXPECT_EQ(nullptr, source.GetData());

    // An inline block is copied into the taker's own buffer.
    qkMemory small;
    Fill(small.NewAlloc(40), 40);
    ASSERT_TRUE(taker.TakeOver(small));
    EXPECT_EQ(qkMemory::KindInline, taker.GetKind());
    EXPECT_NE(small.GetData(), taker.GetData());
    EXPECT_TRUE(Filled(taker.GetData(), 40));

    // An empty source leaves an inline block of size 0.
    qkMemory nothing;
    ASSERT_TRUE(taker.TakeOver(nothing));
    EXPECT_EQ(qkMemory::KindInline, taker.GetKind());
    EXPECT_EQ(0u, taker.GetSize());
    EXPECT_NE(nullptr, taker.GetData());
}

} // namespace
