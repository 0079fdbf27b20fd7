#pragma once
// Event trace of the HTTP client library. The library writes no log lines; its failures and
// decisions go here (the debugger output stream) so that nothing depends on them.
namespace Jux {

void Trace(const wchar_t* format, ...);

} // namespace Jux

#define JUX_TRACE(fmt, ...) ::Jux::Trace(L"%hs(%d) : " fmt, __func__, __LINE__ __VA_OPT__(,) __VA_ARGS__)
