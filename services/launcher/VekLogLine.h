#pragma once
// Log lines of the system services: every message begins with the qualified name of the function
// that writes it and its source line, then " : ", as the launcher's logging convention wants.
#include "engine/log/VekLog.h"

#include <string>

namespace vek::logline {

// "HRESULT Tolk::CFilePackerEx::Open(const wchar_t*)" -> L"Tolk::CFilePackerEx::Open".
inline std::wstring QualifiedName(const char* pretty)
{
    std::string s(pretty);
    const auto paren = s.find('(');
    if (paren != std::string::npos) {
        s.erase(paren);
    }
    const auto space = s.rfind(' ');
    if (space != std::string::npos) {
        s.erase(0, space + 1);
    }
    return std::wstring(s.begin(), s.end());
}

} // namespace vek::logline

#define VEK_SVC_LOG(fn, format, ...) \
    fn(L"%ls(%d) : " format, vek::logline::QualifiedName(__PRETTY_FUNCTION__).c_str(), __LINE__ __VA_OPT__(,) __VA_ARGS__)
#define VEK_SVC_ERROR(format, ...) VEK_SVC_LOG(vek::LogError, format __VA_OPT__(,) __VA_ARGS__)
#define VEK_SVC_WARNING(format, ...) VEK_SVC_LOG(vek::LogWarning, format __VA_OPT__(,) __VA_ARGS__)
#define VEK_SVC_INFO(format, ...) VEK_SVC_LOG(vek::LogInfo, format __VA_OPT__(,) __VA_ARGS__)
