#pragma once
// A source of the machine's identity: its name names the stamp section ("Stamp_" + name), its
// value is the current stamp, and Compare decides whether a stored stamp still describes this
// machine.
#include <windows.h>

#include <string>

class QuvIdentitySource {
public:
    virtual ~QuvIdentitySource() = default;
    virtual const wchar_t* GetName() const = 0;
    virtual HRESULT GetValue(std::wstring& value) = 0;
    // 1 when the machine changed, 0 when it is the same machine, a failure on error. merged
    // receives a new stamp, or stays empty (hasMerged false).
    virtual HRESULT Compare(const std::wstring& current, const std::wstring& stored, std::wstring& merged,
                            bool& hasMerged) = 0;
};
