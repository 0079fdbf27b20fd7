#pragma once
// Owner of one loaded DLL with export look-up; the module is freed with the object.
#include <windows.h>

class qkModule {
public:
    explicit qkModule(HMODULE module = nullptr) : m_module(module) {}
    virtual ~qkModule();
    qkModule(const qkModule&) = delete;
    qkModule& operator=(const qkModule&) = delete;

    // Frees the held module and takes the new one.
    BOOL Attach(HMODULE module);
    void Free();
    // LoadLibraryExW with LOAD_WITH_ALTERED_SEARCH_PATH.
    BOOL LoadEx(const wchar_t* path);
    BOOL Load(const wchar_t* path);
    FARPROC GetProcAddress(const char* name) const;
    FARPROC GetProcAddressW(const wchar_t* name) const;
    HMODULE Get() const { return m_module; }

    // The export as a typed function pointer (null when missing).
    template <typename Fn>
    Fn GetProc(const char* name) const
    {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(name)));
    }

protected:
    HMODULE m_module;
};
