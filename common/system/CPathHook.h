#pragma once
// An in-memory replacement for the registry side of path expansion: while attached it answers
// token lookups and object-id lookups from maps that its owner fills. One process-wide instance.
#include <windows.h>
#include <cstring>
#include <map>
#include <string>

class CPathHook {
public:
    // The object-repository operations, in the same order as the repository's own.
    virtual bool Contains(const GUID& objectId);
    virtual bool GetModulePath(const GUID& objectId, std::wstring& path);
    virtual ~CPathHook();
    // TRUE: counts up and, at 1, installs the hook; FALSE: counts down and, at 0, removes it.
    virtual void Attach(BOOL attach);
    virtual bool SetToken(const wchar_t* name, const wchar_t* value);
    virtual bool SetModulePath(const GUID& objectId, const wchar_t* path);

    // The resolver installed while the hook is attached.
    static BOOL ResolveToken(const wchar_t* name, std::wstring& value);
    static CPathHook& Instance();
    // The attached hook, or null while the default repository applies.
    static CPathHook* GetCurrentRepository();

private:
    CPathHook() = default;
    CPathHook(const CPathHook&) = delete;
    CPathHook& operator=(const CPathHook&) = delete;

    struct GuidLess {
        bool operator()(const GUID& a, const GUID& b) const { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }
    };

    volatile LONG m_refCount = 0;
    std::map<std::wstring, std::wstring> m_tokens; // keyed by the name in lower case
    std::map<GUID, std::wstring, GuidLess> m_modules;
};
