#pragma once
// The owner of one raw block of bytes of run-time size. It hides which allocator produced
// the block and frees it with the matching routine, keeps blocks of up to 128 bytes inside
// the object, and grows or shrinks a block keeping its contents. Failure is reported by null
// or FALSE, never by an exception. One thread at a time; a returned pointer is valid until
// the next operation on the object (inline blocks move with the object).
#include <windows.h>

class qkMemory {
public:
    // How the current block was obtained.
    enum Kind : ULONG {
        KindNone = 0,        // empty
        KindAttached = 1,    // the caller's memory, not owned
        KindCrtHeap = 2,     // the C++ run-time allocator, zero-filled
        KindProcessHeap = 3, // the process heap, zero-filled
        KindVirtual = 4,     // whole pages of committed virtual memory
        KindInline = 5,      // the object's own buffer
        KindCustom = 6,      // the caller's allocate callback, zero-filled
    };
    static constexpr ULONG InlineSize = 128;

    using AllocateCallback = void* (*)(ULONG size);
    using FreeCallback = void (*)(void* data);

    qkMemory() = default;
    virtual ~qkMemory();
    qkMemory(const qkMemory&) = delete;
    qkMemory& operator=(const qkMemory&) = delete;

    // Releases the block; the callbacks are kept.
    void Free();
    // Refers to the caller's memory without copying or owning it.
    BOOL Attach(void* data, ULONG size);
    // Frees the block and obtains a new one of the given kind (2 to 6; others give null).
    void* Allocate(ULONG kind, ULONG size);
    // CRT block, or inline (not cleared, no OnAllocated) for 128 bytes or less.
    void* NewAlloc(ULONG size);
    // Process-heap block (size becomes the heap's block size), or inline for 128 or less.
    void* AllocateProcessHeap(ULONG size);
    // Whole pages; a request of 0 bytes fails.
    void* AllocateVirtual(ULONG size);
    // Inline for 128 bytes or less (with OnAllocated, not cleared), else NewAlloc.
    void* AllocateInline(ULONG size);
    // From the allocate callback; null without one.
    void* AllocateCustom(ULONG size);
    // Both callbacks needed; refused while a callback block is held.
    BOOL SetAllocator(AllocateCallback allocate, FreeCallback free);
    // Deep copy of the source's block (not of an attached one) and its callbacks.
    BOOL Copy(const qkMemory& source);
    // Replaces the block with a copy of the bytes; null or 0 bytes are refused untouched.
    BOOL Assign(const void* data, ULONG size);
    // Changes the size keeping the contents; the pointer valid afterwards, or null with the
    // block unchanged. An attached or empty block cannot be resized.
    void* Resize(ULONG newSize);
    // Moves the source's block into this object; the source is left empty.
    BOOL TakeOver(qkMemory& source);

    ULONG GetSize() const { return m_size; }
    void* GetData() const { return m_data; }
    ULONG GetKind() const { return m_kind; }

protected:
    // Hooks for derived buffers that lock, wipe or account for their memory.
    virtual void OnAllocated(void* data, ULONG size);
    virtual void OnFreeing(void* data, ULONG size);

private:
    void* UseInline(ULONG size);
    void* AllocateCrt(ULONG size);
    static ULONG PageSize();

    ULONG m_kind = KindNone;
    ULONG m_size = 0;
    void* m_data = nullptr;
    alignas(16) BYTE m_inline[InlineSize];
    AllocateCallback m_allocate = nullptr;
    FreeCallback m_free = nullptr;
};
