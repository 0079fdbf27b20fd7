#pragma once
// The code address in the caller just behind its call of GetCallerAddress, to record the place
// of a failure in error reports.

namespace qkLib {

void GetCallerAddress(void** address);

} // namespace qkLib
