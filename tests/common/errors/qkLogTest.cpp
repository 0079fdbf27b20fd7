#include "common/errors/qkLog.h"

#include <gtest/gtest.h>

namespace {

// The name in a log line's prefix comes from the compiler's full signature of the caller.
TEST(qkLog, QualifiedNameKeepsNamespacesAndClassesOnly)
{
    const struct {
        const char* pretty;
        const wchar_t* expected;
    } cases[] = {
        {"HRESULT Tolk::CFilePackerEx::Open(const wchar_t*)", L"Tolk::CFilePackerEx::Open"},
        {"CPathHook::~CPathHook()", L"CPathHook::~CPathHook"},
        {"static BOOL CPathHook::ResolveToken(const wchar_t*, std::wstring&)", L"CPathHook::ResolveToken"},
        {"std::map<int, std::basic_string<wchar_t> > vek::Read(int) const", L"vek::Read"},
        {"void {anonymous}::Helper()", L"{anonymous}::Helper"},
        {"int wmain(int, wchar_t**)", L"wmain"},
        {"vek::X::X(int)", L"vek::X::X"},
        {"", L""},
        {nullptr, L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(qkLib::QualifiedName(c.pretty), c.expected) << (c.pretty ? c.pretty : "null");
    }
}

} // namespace
