// The analyzer on real frames of this test program: the failing module, versions and stack keys.
#include <gtest/gtest.h>

#include <wrl/client.h>

#include "common/diag/qkContextCapture.h"
#include "common/objects/qkQueryInterface.h"
#include "common/diag/qkTalLogicalFailureAnalyzer.h"
#include "common/persist/qkTalKeyValueCollectionImpl.h"

using Microsoft::WRL::ComPtr;

namespace {

struct Analysis {
    HRESULT hr = E_FAIL;
    ComPtr<IKeyValueCollection> keys;
};

__attribute__((noinline)) Analysis AnalyzeHere(qkTalLogicalFailureAnalyzer& analyzer, ULONG_PTR failureAddress)
{
    Analysis result;
    qkAdopt(result.keys, qkTalKeyValueCollectionImpl::Create());
    // As a report does: frame 0 is this reporting function, frame 1 its caller at the call.
    CONTEXT context{};
    if (!qkContextCapture::Capture(context))
        return result;
    result.hr = analyzer.Analyze(&context, L"", failureAddress, 1, 2, 3, result.keys.Get());
    return result;
}

TEST(LogicalFailureAnalyzer, DescribesTheFailingModuleAndTheStack)
{
    qkTalLogicalFailureAnalyzer analyzer;
    ASSERT_EQ(S_OK, analyzer.Prepare());
    ASSERT_EQ(S_OK, analyzer.Prepare()) << "a second Prepare is a no-op";
    const ULONG_PTR here = reinterpret_cast<ULONG_PTR>(&AnalyzeHere);
    Analysis runs[2];
    for (Analysis& run : runs)
        run = AnalyzeHere(analyzer, here);
    const Analysis& a = runs[0];
    ASSERT_EQ(S_OK, a.hr);
    ULONGLONG offset = 0;
    ASSERT_TRUE(a.keys->GetUInt64(14, &offset));
    EXPECT_EQ(here - reinterpret_cast<ULONG_PTR>(GetModuleHandleW(nullptr)), offset);
    ULONG n = 0;
    EXPECT_TRUE(a.keys->GetUInt32(19, &n) && n == 3);
    // The caller of AnalyzeHere lies in this program, whose company is ours: the calling module.
    EXPECT_TRUE(a.keys->Exists(15));
    EXPECT_TRUE(a.keys->Exists(21));
    EXPECT_TRUE(a.keys->Exists(24));

    // The same call path gives the same stack signature; another path another one.
    ASSERT_EQ(S_OK, runs[1].hr);
    ULONG first = 0, second = 0, other = 0;
    EXPECT_TRUE(a.keys->GetUInt32(15, &first) && runs[1].keys->GetUInt32(15, &second));
    EXPECT_EQ(first, second);
    Analysis elsewhere = AnalyzeHere(analyzer, here);
    ASSERT_EQ(S_OK, elsewhere.hr);
    EXPECT_TRUE(elsewhere.keys->GetUInt32(15, &other));
    EXPECT_NE(first, other);
}

TEST(LogicalFailureAnalyzer, AOneFrameStackSetsNoStackKeys)
{
    qkTalLogicalFailureAnalyzer analyzer;
    ASSERT_EQ(S_OK, analyzer.Prepare());
    // At the entry of a function whose return address on the stack is 0, with a frame record
    // that ends the chain (saved frame 0, return address 0): whether the walker unwinds by
    // unwind data (x64), by frame pointers or by the image's call-frame data (x86), the walk
    // ends after this frame.
    alignas(16) static ULONG_PTR stack[64] = {};
    CONTEXT context{};
    ASSERT_TRUE(qkContextCapture::Capture(context));
    const ULONG_PTR entry = reinterpret_cast<ULONG_PTR>(&AnalyzeHere);
    const ULONG_PTR top = reinterpret_cast<ULONG_PTR>(&stack[32]);
#ifdef _WIN64
    context.Rip = entry;
    context.Rsp = top;
    context.Rbp = top;
#else
    context.Eip = entry;
    context.Esp = top;
    context.Ebp = top;
#endif
    ComPtr<IKeyValueCollection> keys;
    qkAdopt(keys, qkTalKeyValueCollectionImpl::Create());
    ASSERT_EQ(S_OK, analyzer.Analyze(&context, L"one", entry, 0, 0, 0, keys.Get()));
    for (ULONG key : {15u, 21u, 22u, 23u, 24u, 28u, 30u})
        EXPECT_FALSE(keys->Exists(key)) << key;
    EXPECT_TRUE(keys->Exists(14));
}

TEST(LogicalFailureAnalyzer, RefusesAnAddressOutsideAnyModule)
{
    qkTalLogicalFailureAnalyzer analyzer;
    ASSERT_EQ(S_OK, analyzer.Prepare());
    std::vector<BYTE> heap(32);
    EXPECT_EQ(E_INVALIDARG, AnalyzeHere(analyzer, reinterpret_cast<ULONG_PTR>(heap.data())).hr);
}

} // namespace
