#pragma once
// Owner of one FindFirstFileW search; closed with FindClose.
#include <windows.h>

class qkFindHandle {
public:
    explicit qkFindHandle(HANDLE handle = INVALID_HANDLE_VALUE) : m_handle(handle) {}
    ~qkFindHandle()
    {
        if (IsValid())
            ::FindClose(m_handle);
    }
    qkFindHandle(const qkFindHandle&) = delete;
    qkFindHandle& operator=(const qkFindHandle&) = delete;
    HANDLE Get() const { return m_handle; }
    bool IsValid() const { return m_handle != INVALID_HANDLE_VALUE && m_handle != nullptr; }

private:
    HANDLE m_handle;
};
