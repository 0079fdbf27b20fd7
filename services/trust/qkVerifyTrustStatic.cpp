#include "services/trust/qkVerifyTrustStatic.h"

#include "services/trust/TrustTrace.h"
#include "services/trust/qkVerifyTrustImpl.h"

IVerifyTrustOptions* qkVerifyTrustStatic::CreateObject()
{
    try {
        qkVerifyTrustImpl* object = qkVerifyTrustImpl::New();
        if (object == nullptr)
            return nullptr;
        return static_cast<IVerifyTrustOptions*>(object);
    } catch (const std::exception& e) {
        TRUST_TRACE(L"qkVerifyTrustStatic::CreateObject failed: %hs", e.what());
        return nullptr;
    }
}
