#include "common/system/qkDACL.h"

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkTrace.h"

qkDACL::~qkDACL()
{
    Reset();
}

void qkDACL::Reset()
{
    m_attributesPointer = nullptr;
    m_descriptorPointer = nullptr;
    m_entries.clear();
    m_acl.clear();
}

bool qkDACL::AddEntries()
{
    return true;
}

bool qkDACL::AddAllowed(PSID sid, DWORD mask, BYTE flags)
{
    if (sid == nullptr || !::IsValidSid(sid))
        return false;
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    m_entries.push_back({true, std::vector<BYTE>(bytes, bytes + ::GetLengthSid(sid)), mask, flags});
    return true;
}

bool qkDACL::AddDenied(PSID sid, DWORD mask, BYTE flags)
{
    if (sid == nullptr || !::IsValidSid(sid))
        return false;
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    m_entries.push_back({false, std::vector<BYTE>(bytes, bytes + ::GetLengthSid(sid)), mask, flags});
    return true;
}

bool qkDACL::Build()
{
    Reset();
    qkExceptionInfo info;
    try {
        if (!AddEntries()) {
            QK_TRACE(L"the entries could not be added");
            return false;
        }
        DWORD size = sizeof(ACL);
        for (const Entry& entry : m_entries)
            size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + static_cast<DWORD>(entry.sid.size());
        size = (size + 3) & ~3u;
        m_acl.assign(size, 0);
        PACL acl = reinterpret_cast<PACL>(m_acl.data());
        if (!::InitializeAcl(acl, size, ACL_REVISION)) {
            QK_TRACE(L"InitializeAcl : %lu", ::GetLastError());
            return false;
        }
        for (Entry& entry : m_entries) {
            PSID sid = entry.sid.data();
            BOOL added = entry.allow ? ::AddAccessAllowedAceEx(acl, ACL_REVISION, entry.flags, entry.mask, sid)
                                     : ::AddAccessDeniedAceEx(acl, ACL_REVISION, entry.flags, entry.mask, sid);
            if (!added) {
                QK_TRACE(L"cannot add an entry : %lu", ::GetLastError());
                return false;
            }
        }
        if (!::InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !::SetSecurityDescriptorDacl(&m_descriptor, TRUE, acl, FALSE)) {
            QK_TRACE(L"cannot build the descriptor : %lu", ::GetLastError());
            return false;
        }
        m_attributes.nLength = sizeof(m_attributes);
        m_attributes.lpSecurityDescriptor = &m_descriptor;
        m_attributes.bInheritHandle = FALSE;
        m_attributesPointer = &m_attributes;
        m_descriptorPointer = &m_descriptor;
        return true;
    }
    QK_CATCH(info)
    return false;
}
