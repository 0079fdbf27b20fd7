#include "common/base/qkMemory.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkTrace.h"

#include <algorithm>
#include <cstring>
#include <new>

qkMemory::~qkMemory()
{
    Free();
}

void qkMemory::OnAllocated(void*, ULONG) {}

void qkMemory::OnFreeing(void*, ULONG) {}

ULONG qkMemory::PageSize()
{
    // Filled on first use without a lock: every thread writes the same value.
    static ULONG s_pageSize = 0;
    if (s_pageSize == 0) {
        SYSTEM_INFO info = {};
        ::GetSystemInfo(&info);
        s_pageSize = info.dwPageSize != 0 ? info.dwPageSize : 4096;
    }
    return s_pageSize;
}

void qkMemory::Free()
{
    if (m_kind != KindAttached) {
        OnFreeing(m_data, m_size);
    }
    if (m_data != nullptr) {
        switch (m_kind) {
        case KindCrtHeap:
            ::operator delete(m_data);
            break;
        case KindProcessHeap:
            ::HeapFree(::GetProcessHeap(), 0, m_data);
            break;
        case KindVirtual:
            ::VirtualFree(m_data, 0, MEM_RELEASE);
            break;
        case KindCustom:
            if (m_free != nullptr) {
                m_free(m_data);
            }
            break;
        default:
            break;
        }
    }
    m_kind = KindNone;
    m_data = nullptr;
    m_size = 0;
}

BOOL qkMemory::Attach(void* data, ULONG size)
{
    Free();
    m_kind = KindAttached;
    m_data = data;
    m_size = size;
    return TRUE;
}

void* qkMemory::Allocate(ULONG kind, ULONG size)
{
    switch (kind) {
    case KindCrtHeap:
        return NewAlloc(size);
    case KindProcessHeap:
        return AllocateProcessHeap(size);
    case KindVirtual:
        return AllocateVirtual(size);
    case KindInline:
        return AllocateInline(size);
    case KindCustom:
        return AllocateCustom(size);
    default:
        QK_TRACE(L"kind %lu cannot be allocated", kind);
        Free();
        return nullptr;
    }
}

void* qkMemory::UseInline(ULONG size)
{
    m_kind = KindInline;
    m_size = size;
    m_data = m_inline;
    return m_data;
}

// A zero-filled CRT block, or null after a caught allocation failure. Changes no field.
void* qkMemory::AllocateCrt(ULONG size)
{
    qkExceptionInfo info;
    void* data = nullptr;
    try {
        data = ::operator new(size);
    }
    QK_CATCH(info)
    if (data != nullptr) {
        std::memset(data, 0, size);
    }
    return data;
}

void* qkMemory::NewAlloc(ULONG size)
{
    Free();
    if (size <= InlineSize) {
        return UseInline(size);
    }
    void* data = AllocateCrt(size);
    if (data == nullptr) {
        return nullptr;
    }
    m_kind = KindCrtHeap;
    m_size = size;
    m_data = data;
    OnAllocated(m_data, m_size);
    return m_data;
}

void* qkMemory::AllocateProcessHeap(ULONG size)
{
    Free();
    if (size <= InlineSize) {
        return UseInline(size);
    }
    void* data = ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, size);
    if (data == nullptr) {
        QK_TRACE(L"HeapAlloc of %lu bytes failed", size);
        return nullptr;
    }
    m_kind = KindProcessHeap;
    m_data = data;
    // The heap may hand out more than was asked.
    const SIZE_T actual = ::HeapSize(::GetProcessHeap(), 0, data);
    m_size =
        (actual != static_cast<SIZE_T>(-1) && actual >= size && actual <= MAXDWORD) ? static_cast<ULONG>(actual) : size;
    OnAllocated(m_data, m_size);
    return m_data;
}

void* qkMemory::AllocateVirtual(ULONG size)
{
    Free();
    const ULONGLONG page = PageSize();
    const ULONGLONG rounded = (static_cast<ULONGLONG>(size) + page - 1) / page * page;
    if (size == 0 || rounded > MAXDWORD) {
        QK_TRACE(L"no virtual memory for %lu bytes", size);
        return nullptr;
    }
    void* data = ::VirtualAlloc(nullptr, static_cast<SIZE_T>(rounded), MEM_COMMIT, PAGE_READWRITE);
    if (data == nullptr) {
        QK_TRACE(L"VirtualAlloc of %lu bytes failed : %lu", size, ::GetLastError());
        return nullptr;
    }
    m_kind = KindVirtual;
    m_size = static_cast<ULONG>(rounded);
    m_data = data;
    OnAllocated(m_data, m_size);
    return m_data;
}

void* qkMemory::AllocateInline(ULONG size)
{
    if (size > InlineSize) {
        return NewAlloc(size);
    }
    Free();
    UseInline(size);
    OnAllocated(m_data, m_size);
    return m_data;
}

void* qkMemory::AllocateCustom(ULONG size)
{
    Free();
    if (m_allocate == nullptr) {
        QK_TRACE(L"no allocate callback");
        return nullptr;
    }
    void* data = m_allocate(size);
    if (data == nullptr) {
        QK_TRACE(L"allocate callback failed for %lu bytes", size);
        return nullptr;
    }
    m_kind = KindCustom;
    m_size = size;
    m_data = data;
    std::memset(m_data, 0, m_size);
    OnAllocated(m_data, m_size);
    return m_data;
}

BOOL qkMemory::SetAllocator(AllocateCallback allocate, FreeCallback free)
{
    if (allocate == nullptr || free == nullptr) {
        QK_TRACE(L"both callbacks are needed");
        return FALSE;
    }
    if (m_kind == KindCustom) {
        // The present callbacks own the block.
        QK_TRACE(L"a callback block is held");
        return FALSE;
    }
    m_allocate = allocate;
    m_free = free;
    return TRUE;
}

BOOL qkMemory::Copy(const qkMemory& source)
{
    if (&source == this) {
        return TRUE;
    }
    Free();
    m_allocate = source.m_allocate;
    m_free = source.m_free;
    if (source.m_kind == KindNone) {
        return TRUE;
    }
    if (Allocate(source.m_kind, source.m_size) == nullptr) {
        return FALSE;
    }
    std::memcpy(m_data, source.m_data, std::min(m_size, source.m_size));
    return TRUE;
}

BOOL qkMemory::Assign(const void* data, ULONG size)
{
    if (data == nullptr || size == 0) {
        QK_TRACE(L"nothing to assign");
        return FALSE;
    }
    const BYTE* bytes = static_cast<const BYTE*>(data);
    const BYTE* own = static_cast<const BYTE*>(m_data);
    if (own != nullptr && bytes >= own && bytes < own + m_size) {
        // The bytes lie in our own block, which the allocation below frees: copy them first.
        qkMemory copy;
        return copy.Assign(data, size) && TakeOver(copy);
    }
    if (NewAlloc(size) == nullptr) {
        return FALSE;
    }
    std::memcpy(m_data, data, size);
    return TRUE;
}

void* qkMemory::Resize(ULONG newSize)
{
    if (m_data == nullptr) {
        return nullptr;
    }
    if (newSize == m_size) {
        return m_data;
    }
    switch (m_kind) {
    case KindInline: {
        if (newSize <= InlineSize) {
            m_size = newSize;
            return m_data;
        }
        // A failed growth leaves the inline block as it was and reports null.
        void* data = AllocateCrt(newSize);
        if (data == nullptr) {
            return nullptr;
        }
        const ULONG oldSize = m_size;
        m_kind = KindCrtHeap;
        m_size = newSize;
        m_data = data;
        OnAllocated(m_data, m_size);
        std::memcpy(m_data, m_inline, oldSize);
        return m_data;
    }
    case KindProcessHeap: {
        if (newSize <= InlineSize) {
            void* old = m_data;
            std::memcpy(m_inline, old, newSize);
            UseInline(newSize);
            ::HeapFree(::GetProcessHeap(), 0, old);
            return m_data;
        }
        void* data = ::HeapReAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, m_data, newSize);
        if (data == nullptr) {
            QK_TRACE(L"HeapReAlloc to %lu bytes failed", newSize);
            return nullptr;
        }
        const ULONG oldSize = m_size;
        const SIZE_T actual = ::HeapSize(::GetProcessHeap(), 0, data);
        m_data = data;
        m_size = (actual != static_cast<SIZE_T>(-1) && actual >= newSize && actual <= MAXDWORD)
                     ? static_cast<ULONG>(actual)
                     : newSize;
        if (m_size > oldSize) {
            OnAllocated(static_cast<BYTE*>(m_data) + oldSize, m_size - oldSize);
        }
        return m_data;
    }
    case KindVirtual: {
        const ULONGLONG page = PageSize();
        const ULONGLONG rounded = (static_cast<ULONGLONG>(newSize) + page - 1) / page * page;
        if (rounded == m_size) {
            return m_data;
        }
        break;
    }
    case KindCrtHeap:
    case KindCustom:
        break;
    default:
        QK_TRACE(L"a block of kind %lu cannot be resized", m_kind);
        return nullptr;
    }

    // General path: a new block of the same kind, the contents copied, the old one freed.
    qkMemory other;
    if (m_kind == KindCustom && !other.SetAllocator(m_allocate, m_free)) {
        return nullptr;
    }
    if (other.Allocate(m_kind, newSize) == nullptr) {
        return nullptr;
    }
    OnAllocated(other.m_data, other.m_size);
    std::memcpy(other.m_data, m_data, std::min(m_size, other.m_size));
    TakeOver(other);
    return m_data;
}

BOOL qkMemory::TakeOver(qkMemory& source)
{
    if (&source == this) {
        return TRUE;
    }
    const ULONG kind = source.m_kind;
    if (kind != KindAttached && kind != KindVirtual && kind != KindCustom &&
        (kind == KindInline || source.m_size <= InlineSize)) {
        // Small blocks are copied into our own inline buffer.
        AllocateInline(source.m_size);
        if (source.m_size != 0) {
            std::memcpy(m_data, source.m_data, source.m_size);
        }
        if (kind == KindCrtHeap || kind == KindProcessHeap) {
            source.Free();
        }
    } else {
        Free();
        m_kind = source.m_kind;
        m_size = source.m_size;
        m_data = source.m_data;
    }
    m_allocate = source.m_allocate;
    m_free = source.m_free;
    source.m_kind = KindNone;
    source.m_size = 0;
    source.m_data = nullptr;
    return TRUE;
}
