#pragma once
// The trust object's creation function.
#include "common/objects/IVerifyTrust.h"

class qkVerifyTrustStatic {
public:
    // A new trust object (options enabled, no cache, hash provider on, no revocation check) as its
    // IVerifyTrustOptions interface with one reference; null when it cannot be made. Callers query
    // IVerifyTrust from it.
    static IVerifyTrustOptions* CreateObject();
};
