#pragma once
// Takes over a reference that the caller already owns (an object returned by a Create function
// or by a call that hands out its reference). This toolchain's ComPtr::Attach adds a reference of
// its own, unlike Microsoft's, so attaching such an object would keep it alive for ever.
#include <wrl/client.h>

namespace qkLib {

template <class T, class U>
void Adopt(Microsoft::WRL::ComPtr<T>& owner, U* raw)
{
    owner.Reset();
    *owner.GetAddressOf() = raw;
}

} // namespace qkLib
