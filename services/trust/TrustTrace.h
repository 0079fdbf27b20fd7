#pragma once
// Diagnostic trace of the trust code. The trust object traces rather than logs: its lines go to
// the debugger output, never to the launcher's log.
namespace qkVerifyTrust {

void TrustTrace(const wchar_t* format, ...);

} // namespace qkVerifyTrust
