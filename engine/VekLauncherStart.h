#pragma once
// The launcher's reaction to the engine's start result, between the start and the exit sequence
// of wWinMain: scheduled for later, restart in the user's session, the message loop, relaunches,
// prompts and failure pages.
#include <windows.h>

#include <functional>
#include <string>

namespace vek {

class VekTraceRegistration;
class VekUIEngine;

// Starts the engine (when hr succeeded) and reacts to its start result; runLoop runs the message
// loop until the windows end it. Returns the start result.
HRESULT StartAndReact(HINSTANCE instance, const wchar_t* commandLine, VekTraceRegistration& tracing,
                      VekUIEngine& engine, const std::wstring& exePath, HRESULT hr,
                      const std::function<void()>& runLoop);

} // namespace vek
