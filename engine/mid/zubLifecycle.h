#pragma once
// The public entry of the machine-identifier library.
#include <windows.h>

#include <string>

namespace zubLifecycle {

// The machine identifier (36 upper-case hexadecimal characters and dashes, no braces) in a
// buffer of the C run-time heap that the caller frees with free(). 0x00047BFC (first-run setup
// still running) is success with a null output; a failure leaves the output null. When the
// stamp file cannot be read for lack of rights, the registry copy answers.
HRESULT RunMID(wchar_t** identifier);

// The same into a string; empty unless the result is S_OK.
HRESULT RunMID(std::wstring& identifier);

} // namespace zubLifecycle
