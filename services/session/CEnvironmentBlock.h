#pragma once
// Owner of one user environment block made through the launcher's Win32 facade; destroys it
// through the same facade.
#include <memory>

#include "services/launcher/IWinApi.h"

namespace vek {

class CEnvironmentBlock {
public:
    explicit CEnvironmentBlock(std::shared_ptr<IWinApi> api) : m_api(std::move(api)) {}
    ~CEnvironmentBlock() { Reset(); }
    CEnvironmentBlock(const CEnvironmentBlock&) = delete;
    CEnvironmentBlock& operator=(const CEnvironmentBlock&) = delete;

    // CreateEnvironmentBlock for the token; FALSE keeps the error in GetLastError.
    BOOL Create(HANDLE token, BOOL inherit)
    {
        Reset();
        return m_api->CreateEnvironmentBlock(&m_block, token, inherit);
    }
    void Reset()
    {
        if (m_block != nullptr)
            m_api->DestroyEnvironmentBlock(m_block);
        m_block = nullptr;
    }
    void* Get() const { return m_block; }

private:
    std::shared_ptr<IWinApi> m_api;
    void* m_block = nullptr;
};

} // namespace vek
