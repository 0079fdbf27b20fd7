#pragma once
// Makes sure that a user (the current one, or a given account) has a requested access to a
// file, service or registry key: the object's access list is rewritten when the request is not
// met yet, and ownership is taken first when that is what it takes. The take-ownership
// privilege is put back to its earlier state afterwards.
//
// Errors of the access list itself are thrown as qkException with a small code: 2 a token
// without a user, 3 a failed allowed entry, 4 a failed denied entry, 5 an entry of an
// unexpected type, 6 an unknown root key, 7 an unsupported object type. Callers catch them.
#include <windows.h>
#include <aclapi.h>

// The access to grant on the object itself, on the sub-containers and on the child objects
// that inherit from it. The second triple is 0 in every use.
struct qkAccessDescription {
    DWORD grant[3];
    DWORD restrict[3];
};

namespace qkLib {

enum EnsureAccessResult : DWORD {
    kEnsureNoOwnership = 0,    // the token or the take-ownership privilege could not be had
    kEnsureAlreadyGranted = 2, // nothing was changed
    kEnsureUnreadable = 3,     // the access list could not be read, even after taking ownership
    kEnsureWritten = 4,        // the new access list is in place
    kEnsureUnwritable = 5,     // the new access list could not be written, even after taking ownership
};

DWORD FileEnsureAccess(const wchar_t* objectName, HANDLE objectHandle, SE_OBJECT_TYPE type,
                       const qkAccessDescription& access);
DWORD FileEnsureAccess(const wchar_t* objectName, HANDLE objectHandle, SE_OBJECT_TYPE type,
                       const qkAccessDescription& access, PSID account);
// Opens the key in the 64-bit view when viewFlags hold KEY_WOW64_64KEY, else in the 32-bit one.
DWORD RegistryEnsureAccess(HKEY root, const wchar_t* subkey, REGSAM viewFlags, const qkAccessDescription& access);
DWORD RegistryEnsureAccess(HKEY root, const wchar_t* subkey, REGSAM viewFlags, const qkAccessDescription& access,
                           PSID account);

} // namespace qkLib
