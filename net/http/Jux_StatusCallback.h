#pragma once
// The one WinHTTP status callback of CWinHttpClient: certificate checks of pinned requests and the
// asynchronous request cycle. The context is the request's CWinHttpRequest.
#include <windows.h>
#include <winhttp.h>

namespace Jux {

// Registration flags on synchronous, certificate-checked requests: name resolved, sending request,
// handle closing, redirect, secure failure.
constexpr DWORD kSyncCallbackFlags = 0x14812;
// Largest read of one data-available step.
constexpr DWORD kMaxAsyncRead = 16384;

void CALLBACK StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD notification, LPVOID info, DWORD infoLength);

} // namespace Jux
