#pragma once
// The request table of one client, shared with its open requests (which may outlive the client
// in asynchronous mode). Recursive lock: the status callback erases entries on a thread that may
// already hold it inside Close.
#include "common/base/qkCriticalSection.h"
#include "common/base/qkScopedLock.h"

#include <cstdint>
#include <map>
#include <memory>

namespace Jux {

class CWinHttpRequest;

// A request is named by its WinHTTP request handle's value (full pointer width: the handle of a
// 64-bit process does not fit 32 bits).
using RequestId = std::uintptr_t;

class CWinHttpSession {
public:
    using Table = std::map<RequestId, std::shared_ptr<CWinHttpRequest>>;

    qkCriticalSection& Lock() { return m_lock; }
    Table& Requests() { return m_requests; } // under Lock()

    size_t Count()
    {
        qkScopedLock lock(m_lock);
        return m_requests.size();
    }

private:
    qkCriticalSection m_lock;
    Table m_requests;
};

} // namespace Jux
