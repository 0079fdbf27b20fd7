#pragma once
// Helpers of the persistence tests: byte strings, archives over them, and a meter of the
// allocations made on this thread.
#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

#include <wrl/client.h>

#include "common/persist/qkMemoryArchive.h"

namespace persisttest {

using Bytes = std::vector<BYTE>;

// Takes over the reference a creator handed out (this ComPtr's Attach adds one of its own).
template <class T>
Microsoft::WRL::ComPtr<T> Own(T* object)
{
    Microsoft::WRL::ComPtr<T> owner;
    *owner.GetAddressOf() = object;
    return owner;
}

// The bytes a writing memory archive holds up to its position.
Bytes Written(qkMemoryArchive& archive);
// A reading memory archive over a copy of the bytes.
void Fill(qkMemoryArchive& archive, const Bytes& bytes);
Bytes Concat(std::initializer_list<Bytes> parts);
// "0B 02 00" form, for failure messages.
std::string Hex(const Bytes& bytes);
// A fresh folder below the temporary folder, removed with its files by the destructor.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    std::wstring Path(const wchar_t* name) const;

private:
    std::wstring m_path;
};

// While an object lives, the allocations of this thread through operator new and through the
// COM task allocator (safe arrays, BSTRs) are metered: the largest block, and the peak of what
// was allocated and not yet freed.
class AllocationMeter {
public:
    AllocationMeter();
    ~AllocationMeter();
    AllocationMeter(const AllocationMeter&) = delete;
    AllocationMeter& operator=(const AllocationMeter&) = delete;
    std::size_t Largest() const;
    std::size_t PeakTotal() const;

private:
    bool m_spying = false;
};

// The object's interface iid as a T; empty when it has none.
template <class T>
Microsoft::WRL::ComPtr<T> Query(IUnknown* object, REFIID iid)
{
    Microsoft::WRL::ComPtr<T> itf;
    object->QueryInterface(iid, reinterpret_cast<void**>(itf.GetAddressOf()));
    return itf;
}

} // namespace persisttest
