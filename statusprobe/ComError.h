// A COM error raised as an exception: the HRESULT and the system's message text for it, worded
// as the platform's COM error class words it.
#pragma once

#include <windows.h>
#include <string>

class ComError {
public:
    explicit ComError(HRESULT hr) : m_hr(hr) {}

    HRESULT Error() const { return m_hr; }

    // The system's message for the code without its trailing line break; "IDispatch error #n"
    // for dispatch codes and "Unknown error 0x..." for codes the system has no text for.
    std::wstring ErrorMessage() const;

private:
    HRESULT m_hr;
};

// Raises a ComError for a failing HRESULT.
inline void ThrowIfFailed(HRESULT hr)
{
    if (FAILED(hr)) {
        throw ComError(hr);
    }
}
