#pragma once
// Builds a security descriptor with a discretionary access list from the entries that a
// derived class adds, and the SECURITY_ATTRIBUTES that point to it.
#include <windows.h>
#include <vector>

class qkDACL {
public:
    qkDACL() = default;
    virtual ~qkDACL();
    qkDACL(const qkDACL&) = delete;
    qkDACL& operator=(const qkDACL&) = delete;

    // Reset, AddEntries, then the descriptor and the attributes.
    virtual bool Build();
    // Clears the pointers and every entry.
    virtual void Reset();
    // The base adds nothing.
    virtual bool AddEntries();

    // Valid while the object lives and until the next Reset or Build; null before Build.
    SECURITY_ATTRIBUTES* GetSecurityAttributes() const { return m_attributesPointer; }
    PSECURITY_DESCRIPTOR GetSecurityDescriptor() const { return m_descriptorPointer; }
    PACL GetAcl() const
    {
        return m_descriptorPointer ? reinterpret_cast<PACL>(const_cast<BYTE*>(m_acl.data())) : nullptr;
    }

protected:
    // Entries in the order added; no inheritance flags unless given.
    bool AddAllowed(PSID sid, DWORD mask, BYTE flags = 0);
    bool AddDenied(PSID sid, DWORD mask, BYTE flags = 0);

private:
    struct Entry {
        bool allow;
        std::vector<BYTE> sid;
        DWORD mask;
        BYTE flags;
    };

    std::vector<Entry> m_entries;
    std::vector<BYTE> m_acl;
    SECURITY_DESCRIPTOR m_descriptor{};
    SECURITY_ATTRIBUTES m_attributes{};
    SECURITY_ATTRIBUTES* m_attributesPointer = nullptr;
    PSECURITY_DESCRIPTOR m_descriptorPointer = nullptr;
};
