#include "common/objects/GetCallerAddress.h"

namespace qkLib {

__attribute__((noinline)) void GetCallerAddress(void** address)
{
    if (address)
        *address = __builtin_return_address(0);
}

} // namespace qkLib
