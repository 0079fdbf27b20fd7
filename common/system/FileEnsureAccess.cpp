#include "common/system/FileEnsureAccess.h"

#include "common/base/qkException.h"
#include "common/base/qkTrace.h"
#include "common/system/qkHandle.h"
#include "common/system/qkPrivilege.h"
#include "common/system/qkRegistry.h"
#include "common/system/qkResourceHolders.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kAdjustTokenAccess = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;
constexpr BYTE kInheritBits = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE;
enum Reach { kObject = 0, kContainers = 1, kChildren = 2 };

using Ace = std::vector<BYTE>;

GENERIC_MAPPING MappingFor(SE_OBJECT_TYPE type)
{
    switch (type) {
    case SE_FILE_OBJECT:
        return {0x120089, 0x120116, 0x1200A0, 0x1F01FF};
    case SE_SERVICE:
        return {0x2008D, 0x20002, 0x20170, 0xF01FF};
    case SE_REGISTRY_KEY:
        return {0x20019, 0x20006, 0x20019, 0xF003F};
    default:
        qkException::Throw(7);
    }
}

// Who the request is for: the current user (the token's user and its groups) or one account
// (by equality).
class Trustee {
public:
    explicit Trustee(PSID account)
    {
        if (account != nullptr) {
            const BYTE* bytes = static_cast<const BYTE*>(account);
            m_sid.assign(bytes, bytes + ::GetLengthSid(account));
            return;
        }
        HANDLE process = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &process))
            qkException::Throw(2);
        qkHandle processToken(process);
        HANDLE duplicate = nullptr;
        if (!::DuplicateToken(process, SecurityIdentification, &duplicate))
            qkException::Throw(2);
        m_token.Reset(duplicate);
        m_sid = TokenUser(process);
    }

    bool Applies(PSID sid) const
    {
        if (::EqualSid(sid, const_cast<BYTE*>(m_sid.data())))
            return true;
        if (!m_token.IsValid())
            return false;
        BOOL member = FALSE;
        return ::CheckTokenMembership(m_token.Get(), sid, &member) && member;
    }
    PSID Sid() const { return const_cast<BYTE*>(m_sid.data()); }

    static std::vector<BYTE> TokenUser(HANDLE token)
    {
        DWORD size = 0;
        ::GetTokenInformation(token, ::TokenUser, nullptr, 0, &size);
        std::vector<BYTE> buffer(size ? size : 1);
        if (!::GetTokenInformation(token, ::TokenUser, buffer.data(), size, &size))
            qkException::Throw(2);
        PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
        const BYTE* bytes = static_cast<const BYTE*>(sid);
        return std::vector<BYTE>(bytes, bytes + ::GetLengthSid(sid));
    }

private:
    qkHandle m_token;
    std::vector<BYTE> m_sid;
};

Ace MakeAce(BYTE type, BYTE flags, DWORD mask, PSID sid)
{
    const DWORD sidLength = ::GetLengthSid(sid);
    Ace ace(sizeof(ACE_HEADER) + sizeof(DWORD) + sidLength);
    auto* header = reinterpret_cast<ACE_HEADER*>(ace.data());
    header->AceType = type;
    header->AceFlags = flags;
    header->AceSize = static_cast<WORD>(ace.size());
    std::memcpy(ace.data() + sizeof(ACE_HEADER), &mask, sizeof(mask));
    std::memcpy(ace.data() + sizeof(ACE_HEADER) + sizeof(DWORD), sid, sidLength);
    return ace;
}

// Splits the three masks into the seven combinations of where each right applies and adds
// one entry per non-empty combination: the rights common to all three first, then the
// pairs, then the singles.
void AddSplit(std::vector<Ace>& list, BYTE type, BYTE baseFlags, const DWORD masks[3], PSID sid, HRESULT failureCode)
{
    const DWORD o = masks[kObject], c = masks[kContainers], k = masks[kChildren];
    const struct {
        DWORD mask;
        BYTE flags;
    } parts[] = {
        {o & c & k, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE},
        {o & c & ~k, CONTAINER_INHERIT_ACE},
        {~o & c & k, INHERIT_ONLY_ACE | CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE},
        {o & ~c & k, OBJECT_INHERIT_ACE},
        {o & ~c & ~k, 0},
        {~o & c & ~k, INHERIT_ONLY_ACE | CONTAINER_INHERIT_ACE},
        {~o & ~c & k, INHERIT_ONLY_ACE | OBJECT_INHERIT_ACE},
    };
    for (const auto& part : parts) {
        if (part.mask == 0)
            continue;
        if (sid == nullptr || !::IsValidSid(sid))
            qkException::Throw(failureCode);
        list.push_back(MakeAce(type, static_cast<BYTE>(baseFlags | part.flags), part.mask, sid));
    }
}

PSID AceSid(ACE_HEADER* header)
{
    BYTE* body = reinterpret_cast<BYTE*>(header) + sizeof(ACE_HEADER) + sizeof(DWORD);
    switch (header->AceType) {
    case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
        return body + sizeof(DWORD); // compound type and reserved word come first
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE: {
        DWORD objectFlags = *reinterpret_cast<DWORD*>(body);
        BYTE* sid = body + sizeof(DWORD);
        if (objectFlags & ACE_OBJECT_TYPE_PRESENT)
            sid += sizeof(GUID);
        if (objectFlags & ACE_INHERITED_OBJECT_TYPE_PRESENT)
            sid += sizeof(GUID);
        return sid;
    }
    default:
        return body;
    }
}

struct CheckResult {
    bool met = false;
    std::vector<Ace> list;
};

// Walks the access list; the new list keeps the other explicit entries' effect.
CheckResult Check(PACL dacl, const Trustee& trustee, const GENERIC_MAPPING& mapping, const DWORD request[3])
{
    CheckResult result;
    DWORD granted[3] = {};
    DWORD denied[3] = {};
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!::GetAce(dacl, i, &raw))
            continue;
        auto* header = static_cast<ACE_HEADER*>(raw);
        DWORD mask = *reinterpret_cast<DWORD*>(static_cast<BYTE*>(raw) + sizeof(ACE_HEADER));
        ::MapGenericMask(&mask, const_cast<GENERIC_MAPPING*>(&mapping));
        const BYTE flags = header->AceFlags;
        // Entries that do not propagate count for the object only.
        const bool noPropagate = (flags & NO_PROPAGATE_INHERIT_ACE) != 0;
        const bool reach[3] = {!(flags & INHERIT_ONLY_ACE), !noPropagate && (flags & CONTAINER_INHERIT_ACE) != 0,
                               !noPropagate && (flags & OBJECT_INHERIT_ACE) != 0};
        const bool inherited = (flags & INHERITED_ACE) != 0;
        const Ace copy(static_cast<BYTE*>(raw), static_cast<BYTE*>(raw) + header->AceSize);
        switch (header->AceType) {
        case ACCESS_ALLOWED_ACE_TYPE:
        case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
        case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
            if (trustee.Applies(AceSid(header))) {
                for (int r = 0; r < 3; ++r)
                    if (reach[r])
                        granted[r] |= mask;
            }
            if (!inherited)
                result.list.push_back(copy);
            break;
        case ACCESS_DENIED_ACE_TYPE:
        case ACCESS_DENIED_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE: {
            const bool applies = trustee.Applies(AceSid(header));
            if (applies) {
                for (int r = 0; r < 3; ++r)
                    if (reach[r])
                        denied[r] |= mask;
            }
            if (inherited)
                break;
            if (!applies || header->AceType != ACCESS_DENIED_ACE_TYPE) {
                result.list.push_back(copy);
                break;
            }
            // Kept only for the rights and reaches that were not requested.
            DWORD remaining[3];
            for (int r = 0; r < 3; ++r)
                remaining[r] = reach[r] ? (mask & ~request[r]) : 0;
            AddSplit(result.list, ACCESS_DENIED_ACE_TYPE, static_cast<BYTE>(flags & ~kInheritBits), remaining,
                     AceSid(header), 4);
            break;
        }
        default:
            qkException::Throw(5);
        }
    }
    result.met = true;
    for (int r = 0; r < 3; ++r) {
        if ((request[r] & ~granted[r]) != 0 || (request[r] & denied[r]) != 0)
            result.met = false;
    }
    return result;
}

std::vector<BYTE> BuildAcl(const std::vector<Ace>& list)
{
    DWORD size = sizeof(ACL);
    for (const Ace& ace : list)
        size += static_cast<DWORD>(ace.size());
    size = (size + 3) & ~3u;
    std::vector<BYTE> acl(size);
    if (!::InitializeAcl(reinterpret_cast<PACL>(acl.data()), size, ACL_REVISION_DS))
        qkException::Throw(3);
    for (const Ace& ace : list) {
        if (!::AddAce(reinterpret_cast<PACL>(acl.data()), ACL_REVISION_DS, MAXDWORD, const_cast<BYTE*>(ace.data()),
                      static_cast<DWORD>(ace.size())))
            qkException::Throw(3);
    }
    return acl;
}

// Reads or writes the object's security: through the handle for registry keys, by name otherwise.
class SecurityTarget {
public:
    SecurityTarget(const wchar_t* name, HANDLE handle, SE_OBJECT_TYPE type)
        : m_name(name), m_handle(handle), m_type(type)
    {}

    DWORD ReadDacl(PACL* dacl, qkLocalPtr<void>& owner) const
    {
        if (m_type == SE_REGISTRY_KEY)
            return ::GetSecurityInfo(m_handle, m_type, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr,
                                     owner.Receive());
        return ::GetNamedSecurityInfoW(m_name, m_type, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr,
                                       owner.Receive());
    }

    DWORD Write(SECURITY_INFORMATION what, PSID ownerSid, PACL dacl) const
    {
        if (m_type != SE_REGISTRY_KEY)
            return ::SetNamedSecurityInfoW(const_cast<wchar_t*>(m_name), m_type, what, ownerSid, nullptr, dacl,
                                           nullptr);
        // The caller's handle may be open for reading only: write through a handle of its own
        // that asks for just the right the write needs.
        qkRegKey key;
        const REGSAM right = (what & OWNER_SECURITY_INFORMATION) ? WRITE_OWNER : WRITE_DAC;
        LONG status = ::RegOpenKeyExW(static_cast<HKEY>(m_handle), L"", 0, right, key.Receive());
        if (status != ERROR_SUCCESS)
            return static_cast<DWORD>(status);
        return ::SetSecurityInfo(key.Get(), m_type, what, ownerSid, nullptr, dacl, nullptr);
    }

    const wchar_t* Name() const { return m_name; }

private:
    const wchar_t* m_name;
    HANDLE m_handle;
    SE_OBJECT_TYPE m_type;
};

// Enables the take-ownership privilege (put back by the privilege object when it goes) and
// makes the process user the owner. False when the token or the privilege cannot be had.
bool TakeOwnership(const SecurityTarget& target, qkPrivilege& privilege, bool& ownerSet)
{
    ownerSet = false;
    HANDLE rawToken = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), kAdjustTokenAccess, &rawToken))
        return false;
    qkHandle token(rawToken);
    if (!privilege.EnableForCurrentProcess(SE_TAKE_OWNERSHIP_NAME))
        return false;
    std::vector<BYTE> user = Trustee::TokenUser(token.Get());
    ownerSet = target.Write(OWNER_SECURITY_INFORMATION, user.data(), nullptr) == ERROR_SUCCESS;
    if (!ownerSet)
        QK_TRACE(L"cannot take ownership of %s", target.Name());
    return true;
}

DWORD EnsureAccess(const wchar_t* name, HANDLE handle, SE_OBJECT_TYPE type, const qkAccessDescription& access,
                   PSID account)
{
    const GENERIC_MAPPING mapping = MappingFor(type);
    Trustee trustee(account);
    const SecurityTarget target(name, handle, type);
    qkPrivilege privilege; // restores the take-ownership privilege on every way out

    qkLocalPtr<void> descriptor; // what the security functions allocated
    PACL dacl = nullptr;
    if (target.ReadDacl(&dacl, descriptor) != ERROR_SUCCESS) {
        bool ownerSet = false;
        if (!TakeOwnership(target, privilege, ownerSet))
            return qkLib::kEnsureNoOwnership;
        if (!ownerSet || target.ReadDacl(&dacl, descriptor) != ERROR_SUCCESS)
            return qkLib::kEnsureUnreadable;
    }

    // A NULL access list grants everyone every right: writing a list would only take rights away.
    if (dacl == nullptr)
        return qkLib::kEnsureAlreadyGranted;

    DWORD request[3];
    for (int r = 0; r < 3; ++r) {
        request[r] = access.grant[r];
        ::MapGenericMask(&request[r], const_cast<GENERIC_MAPPING*>(&mapping));
    }
    CheckResult check = Check(dacl, trustee, mapping, request);
    if (check.met)
        return qkLib::kEnsureAlreadyGranted;
    AddSplit(check.list, ACCESS_ALLOWED_ACE_TYPE, 0, request, trustee.Sid(), 3);
    std::vector<BYTE> newAcl = BuildAcl(check.list);

    QK_TRACE(L"new access list for %s", name);
    if (target.Write(DACL_SECURITY_INFORMATION, nullptr, reinterpret_cast<PACL>(newAcl.data())) == ERROR_SUCCESS)
        return qkLib::kEnsureWritten;
    bool ownerSet = false;
    if (!TakeOwnership(target, privilege, ownerSet))
        return qkLib::kEnsureNoOwnership;
    if (ownerSet &&
        target.Write(DACL_SECURITY_INFORMATION, nullptr, reinterpret_cast<PACL>(newAcl.data())) == ERROR_SUCCESS)
        return qkLib::kEnsureWritten;
    return qkLib::kEnsureUnwritable;
}

const wchar_t* RootName(HKEY root)
{
    if (root == HKEY_LOCAL_MACHINE)
        return L"MACHINE";
    if (root == HKEY_CURRENT_USER)
        return L"CURRENT_USER";
    if (root == HKEY_USERS)
        return L"USERS";
    if (root == HKEY_CLASSES_ROOT)
        return L"CLASSES_ROOT";
    qkException::Throw(6);
}

} // namespace

namespace qkLib {

DWORD FileEnsureAccess(const wchar_t* objectName, HANDLE objectHandle, SE_OBJECT_TYPE type,
                       const qkAccessDescription& access)
{
    return EnsureAccess(objectName, objectHandle, type, access, nullptr);
}

DWORD FileEnsureAccess(const wchar_t* objectName, HANDLE objectHandle, SE_OBJECT_TYPE type,
                       const qkAccessDescription& access, PSID account)
{
    return EnsureAccess(objectName, objectHandle, type, access, account);
}

DWORD RegistryEnsureAccess(HKEY root, const wchar_t* subkey, REGSAM viewFlags, const qkAccessDescription& access)
{
    return RegistryEnsureAccess(root, subkey, viewFlags, access, nullptr);
}

DWORD RegistryEnsureAccess(HKEY root, const wchar_t* subkey, REGSAM viewFlags, const qkAccessDescription& access,
                           PSID account)
{
    const REGSAM view = (viewFlags & KEY_WOW64_64KEY) ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    qkRegistry key;
    if (!key.Open(root, subkey, KEY_READ | view)) {
        QK_TRACE(L"cannot open %s : %lu", subkey ? subkey : L"", key.GetLastError());
        return kEnsureNoOwnership;
    }
    std::wstring name = std::wstring(RootName(root)) + L"\\" + (subkey ? subkey : L"");
    return EnsureAccess(name.c_str(), key.GetKey(), SE_REGISTRY_KEY, access, account);
}

} // namespace qkLib
