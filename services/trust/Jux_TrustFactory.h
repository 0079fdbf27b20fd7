#pragma once
// The process-wide source of trust-verification objects. Program start registers the function
// that makes them and takes it back at exit; everyone who checks a file before loading or
// running it asks here. With nothing registered, the object comes from the process-wide
// instance factory.
#include <windows.h>

#include "common/objects/IVerifyTrust.h"

namespace Jux {

// Makes a ready trust object and hands it out with one reference.
using VerifyTrustFactory = HRESULT (*)(IVerifyTrust** trust);

// Takes effect once per process: S_OK, or E_INVALIDARG for a null function at the first call;
// every later call answers E_UNEXPECTED and changes nothing, also after unregistering.
HRESULT RegisterVerifyTrustFactory(VerifyTrustFactory factory);
// Forgets the function; the registration stays used up. S_OK.
HRESULT UnregisterVerifyTrustFactory();

// The registered function's object (and its result), or a new object from the instance
// factory: TRUST_E_SYSTEM_ERROR when that object will not initialise, E_POINTER when no object
// came, the mapped factory result when it could not be made. A held reference is released first.
HRESULT GetTrustObject(IVerifyTrust** trust);

// S_OK when the file is trusted at level 3, or (not strict) at level 4;
// TRUST_E_SUBJECT_NOT_TRUSTED otherwise; GetTrustObject's failure when there is no object.
HRESULT VerifyFileTrust(const wchar_t* path, bool strict);

} // namespace Jux
