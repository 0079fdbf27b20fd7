#pragma once
// A process-wide slot that takes one registration, for the functions that program start hands
// to the libraries (the trust and the settings factories). The first call to Register decides:
// it stores a non-null value and answers S_OK, or stores nothing and answers E_INVALIDARG for a
// null one. Every later call answers E_UNEXPECTED and changes nothing, also after Forget, and
// whichever threads race: exactly one call is the first. Readers never wait.
#include <windows.h>

#include <atomic>

template <class T>
class qkRegisterOnce {
public:
    constexpr qkRegisterOnce() = default;
    qkRegisterOnce(const qkRegisterOnce&) = delete;
    qkRegisterOnce& operator=(const qkRegisterOnce&) = delete;

    HRESULT Register(T value)
    {
        // The one call that moves the slot from unused to used is the first.
        bool unused = false;
        if (!m_used.compare_exchange_strong(unused, true))
            return E_UNEXPECTED;
        if (value == nullptr)
            return E_INVALIDARG;
        m_value.store(value);
        return S_OK;
    }
    // Drops the value; the registration stays used.
    void Forget() { m_value.store(nullptr); }
    // The registered value, or null.
    T Get() const { return m_value.load(); }

private:
    // Constant-initialised (no lock object), so that a slot at namespace scope is ready before
    // any static constructor could register.
    std::atomic<bool> m_used{false};
    std::atomic<T> m_value{nullptr};
};
