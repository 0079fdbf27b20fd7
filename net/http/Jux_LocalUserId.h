#pragma once
#include <string>

namespace Jux {

// The string SID of the process token's user; false on any failure.
bool GetLocalUserId(std::wstring& sid);

} // namespace Jux
