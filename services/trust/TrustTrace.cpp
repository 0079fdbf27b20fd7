#include "services/trust/TrustTrace.h"

#include <windows.h>

#include <cstdarg>
#include <cwchar>

namespace qkVerifyTrust {

void TrustTrace(const wchar_t* format, ...) {
  wchar_t line[1024];
  va_list args;
  va_start(args, format);
  const DWORD error = GetLastError();
  vswprintf(line, 1022, format, args);
  line[1021] = L'\0';
  va_end(args);
  wcscat(line, L"\n");
  OutputDebugStringW(line);
  SetLastError(error);
}

} // namespace qkVerifyTrust
