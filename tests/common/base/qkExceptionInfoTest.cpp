#include "common/base/qkException.h"
#include "common/base/qkExceptionInfo.h"

#include <comdef.h>
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <typeinfo>

namespace {

struct LadderCase {
    const char* name;
    std::function<void()> thrower;
    ULONG kind;
    const wchar_t* type;
    std::wstring message; // empty: only checked to be non-empty
};

// An entry point in the manner of the engine: guarded work, then the ladder.
LONG g_catchLine = 0;
bool RunGuarded(const std::function<void()>& work, qkExceptionInfo& info)
{
    try {
        work();
    } catch (...) {
        const LONG line = __LINE__;
        g_catchLine = line;
        info.CatchCurrent(QK_SOURCE_FILE, line);
    }
    return !info.HasError();
}

struct Unrelated {};

TEST(qkExceptionInfo, FreshRecordHasNoError)
{
    qkExceptionInfo info;
    EXPECT_FALSE(info.HasError());
    EXPECT_STREQ(L"", info.GetMessage());
    EXPECT_EQ(nullptr, info.GetExceptionType());
    EXPECT_STREQ(L"(null), , (null), (null)(0)", info.GetFullText());
}

TEST(qkExceptionInfo, LadderRecordsEachTypeUnderItsOwnKind)
{
    const LadderCase cases[] = {
        {"com_error", [] { throw _com_error(E_OUTOFMEMORY); }, 20, L"_com_error", L""},
        {"library", [] { qkException::Throw(E_OUTOFMEMORY); }, 21, L"CAtlException", L"0x8007000E"},
        {"library_low", [] { qkException::Throw(0x800401F0); }, 21, L"CAtlException", L"0x800401F0"},
        {"bad_cast", [] { throw std::bad_cast(); }, 17, L"std::bad_cast", L"std::bad_cast"},
        {"bad_typeid", [] { throw std::bad_typeid(); }, 18, L"std::bad_typeid", L"std::bad_typeid"},
        {"bad_alloc", [] { throw std::bad_alloc(); }, 19, L"std::bad_alloc", L"std::bad_alloc"},
        {"bad_exception", [] { throw std::bad_exception(); }, 16, L"std::bad_exception", L"std::bad_exception"},
        {"runtime_error", [] { throw std::runtime_error("disk on fire"); }, 15, L"std::exception", L"disk on fire"},
        {"char", [] { throw 'x'; }, 22, L"char", L"x"},
        {"unsigned_char", [] { throw static_cast<unsigned char>(200); }, 23, L"unsigned char", L"200"},
        {"short", [] { throw static_cast<short>(-7); }, 24, L"short", L"-7"},
        {"unsigned_short", [] { throw static_cast<unsigned short>(65535); }, 25, L"unsigned short", L"65535"},
        {"int", [] { throw 5; }, 26, L"int", L"5"},
        {"unsigned_int", [] { throw 4000000000u; }, 27, L"unsigned int", L"4000000000"},
        {"long", [] { throw -123456L; }, 28, L"long", L"-123456"},
        {"unsigned_long", [] { throw 4000000001UL; }, 29, L"unsigned long", L"4000000001"},
        {"ansi_text", [] { throw "narrow text"; }, 30, L"LPCSTR", L"narrow text"},
        {"wide_text", [] { throw L"wide text"; }, 31, L"LPCWSTR", L"wide text"},
        {"unrelated", [] { throw Unrelated(); }, 1, L"...", L"Unknown"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        qkExceptionInfo info;
        EXPECT_FALSE(RunGuarded(c.thrower, info));
        EXPECT_TRUE(info.HasError());
        EXPECT_EQ(c.kind, info.GetKind());
        EXPECT_STREQ(c.type, info.GetExceptionType());
        if (c.message.empty()) {
            EXPECT_STRNE(L"", info.GetMessage());
        } else {
            EXPECT_EQ(c.message, info.GetMessage());
        }
        EXPECT_STREQ(L"qkExceptionInfoTest.cpp", info.GetSourceFile());
        EXPECT_EQ(g_catchLine, info.GetLine());
    }
}

TEST(qkExceptionInfo, NothingThrownLeavesRecordEmpty)
{
    qkExceptionInfo info;
    EXPECT_TRUE(RunGuarded([] {}, info));
    EXPECT_EQ(0u, info.GetKind());
}

TEST(qkExceptionInfo, FullTextNamesTypeMessageAndPlace)
{
    qkExceptionInfo info;
    RunGuarded([] { throw 5; }, info);
    const std::wstring expected = L"int, 5, (null), qkExceptionInfoTest.cpp(" + std::to_wstring(g_catchLine) + L")";
    EXPECT_EQ(expected, info.GetFullText());
}

TEST(qkExceptionInfo, SecondSectionOverwritesTheFirst)
{
    qkExceptionInfo info;
    RunGuarded([] { throw 5; }, info);
    RunGuarded([] { throw std::bad_alloc(); }, info);
    EXPECT_EQ(19u, info.GetKind());
    EXPECT_STREQ(L"std::bad_alloc", info.GetExceptionType());
}

TEST(qkExceptionInfo, MessageSetters)
{
    qkExceptionInfo info;
    info.SetMessageA("caf\xe9"); // ANSI code page text
    EXPECT_EQ(4u, std::wstring(info.GetMessage()).size());
    info.SetMessage(L"wide");
    EXPECT_STREQ(L"wide", info.GetMessage());
    info.SetMessage(nullptr);
    EXPECT_STREQ(L"", info.GetMessage());
}

} // namespace
