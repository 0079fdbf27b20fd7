#pragma once
// Switches WOW64 file-system redirection off and back on in nested scopes; leaving the scope
// restores the state in force before the first disable. Redirection is a per-thread setting:
// an object belongs to one thread. Outside WOW64 every call succeeds and does nothing.
#include <windows.h>
#include <vector>

class qkWow64FsRedirection {
public:
    qkWow64FsRedirection() = default;
    explicit qkWow64FsRedirection(bool enable);
    virtual ~qkWow64FsRedirection();
    qkWow64FsRedirection(const qkWow64FsRedirection&) = delete;
    qkWow64FsRedirection& operator=(const qkWow64FsRedirection&) = delete;

    // FALSE disables redirection; TRUE reverts the most recent disable.
    BOOL Enable(bool enable);
    size_t GetDepth() const { return m_saved.size(); }

private:
    std::vector<PVOID> m_saved; // newest last
};
