#pragma once
// A small linear congruential generator for tests that draw their cases: the same seed gives the
// same cases on every run and every machine.
#include <windows.h>

namespace testrandom {

class Lcg {
public:
    explicit Lcg(DWORD seed) : m_state(seed) {}
    DWORD Next()
    {
        m_state = m_state * 1664525u + 1013904223u;
        return m_state >> 8;
    }
    DWORD Below(DWORD n) { return n ? Next() % n : 0; }

private:
    DWORD m_state;
};

} // namespace testrandom
