#pragma once
// Owner of one kernel handle. Null and INVALID_HANDLE_VALUE both count as "no handle".
#include <windows.h>

class qkHandle {
public:
    explicit qkHandle(HANDLE handle = nullptr) : m_handle(handle) {}
    virtual ~qkHandle();

    qkHandle(const qkHandle&) = delete;
    qkHandle& operator=(const qkHandle&) = delete;

    // Closes a valid handle. A failing CloseHandle keeps the handle so that the caller may retry.
    BOOL Close();
    // Close, then take the new handle (the close's failure is dropped).
    qkHandle& Attach(HANDLE handle);
    BOOL Reset(HANDLE handle = nullptr);
    HANDLE Get() const { return m_handle; }
    HANDLE Detach();
    bool IsValid() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_handle;
};
