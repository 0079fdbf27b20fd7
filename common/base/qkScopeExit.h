#pragma once
// Runs a release at the end of a scope, for a resource whose release needs more than a function
// of the resource alone (memory freed through the object that allocated it):
//     qkScopeExit freeText([&] { api->LocalFree(text); });
// Resources released by a function of their own have qkUniqueResource (common/system).
#include <utility>

template <typename Release>
class qkScopeExit {
public:
    explicit qkScopeExit(Release release) : m_release(std::move(release)) {}
    ~qkScopeExit()
    {
        if (m_armed) {
            m_release();
        }
    }
    qkScopeExit(const qkScopeExit&) = delete;
    qkScopeExit& operator=(const qkScopeExit&) = delete;

    // The release is not run (the resource was handed on).
    void Dismiss() { m_armed = false; }

private:
    Release m_release;
    bool m_armed = true;
};
