// Owner of one VARIANT: starts empty and clears itself (freeing a BSTR or releasing an
// interface it holds) when it goes out of scope.
#pragma once

#include <windows.h>
#include <oleauto.h>

class ScopedVariant {
public:
    ScopedVariant() { ::VariantInit(&m_value); }
    ~ScopedVariant() { ::VariantClear(&m_value); }
    ScopedVariant(const ScopedVariant&) = delete;
    ScopedVariant& operator=(const ScopedVariant&) = delete;

    VARIANT* Out() { return &m_value; }
    VARIANT& Get() { return m_value; }
    const VARIANT& Get() const { return m_value; }

private:
    // Zeroed as a whole so that a callee that sets only vt leaves no stale bits in the value.
    VARIANT m_value{};
};
