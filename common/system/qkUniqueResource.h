#pragma once
// Owner of one resource of a Windows API that is released by a function of its own (a registry
// key, a certificate store, a local allocation, a SID): the release function runs when the owner
// ends or takes another resource. The zero value of T means "no resource". Kernel handles, whose
// invalid value may also be INVALID_HANDLE_VALUE, have qkHandle.
//     qkLocalPtr<wchar_t> text;
//     if (!::ConvertSidToStringSidW(sid, text.Receive())) ...
#include <utility>

template <typename T, auto Release>
class qkUniqueResource {
public:
    qkUniqueResource() = default;
    explicit qkUniqueResource(T value) : m_value(value) {}
    ~qkUniqueResource() { Reset(); }

    qkUniqueResource(const qkUniqueResource&) = delete;
    qkUniqueResource& operator=(const qkUniqueResource&) = delete;
    qkUniqueResource(qkUniqueResource&& other) noexcept : m_value(other.Detach()) {}
    qkUniqueResource& operator=(qkUniqueResource&& other) noexcept
    {
        if (this != &other) {
            Reset(other.Detach());
        }
        return *this;
    }

    T Get() const { return m_value; }
    explicit operator bool() const { return m_value != T{}; }

    // Releases the held resource, then holds the given one.
    void Reset(T value = T{})
    {
        const T old = std::exchange(m_value, value);
        if (old != T{}) {
            Release(old);
        }
    }
    // Gives the resource up without releasing it.
    T Detach() { return std::exchange(m_value, T{}); }
    // For a call that returns the resource through an out parameter: releases the held one and
    // answers the place to write the new one to.
    T* Receive()
    {
        Reset();
        return &m_value;
    }

private:
    T m_value{};
};
