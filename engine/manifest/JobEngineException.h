#pragma once
// The job engine's exception: a standard exception that carries one launcher result code.
// Path expansion throws it to the bootstrap; the engine base and the user interface catch it
// and read the code back.
#include <windows.h>

#include <exception>

namespace vek {

class JobEngineException : public std::exception {
public:
    explicit JobEngineException(HRESULT code) noexcept : m_code(code) {}

    HRESULT GetCode() const noexcept { return m_code; }
    const char* what() const noexcept override { return "vek::JobEngineException"; }

private:
    HRESULT m_code;
};

} // namespace vek
