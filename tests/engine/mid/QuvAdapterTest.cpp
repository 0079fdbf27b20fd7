#include "engine/mid/QuvAdapterList.h"
#include "engine/mid/QuvAdapterSource.h"
#include "engine/mid/QuvMidCodes.h"

#include <iphlpapi.h>

#include <gtest/gtest.h>

#include <cwctype>
#include <vector>

TEST(QuvAdapterList, FormatsAddressesInOrder)
{
    EXPECT_EQ(L"001122334455|005056C00008",
              QuvFormatAdapterList({{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, {0x00, 0x50, 0x56, 0xC0, 0x00, 0x08}}));
    EXPECT_EQ(L"", QuvFormatAdapterList({}));
}

// The walk over the records that GetAdaptersInfo returns refuses a bad length or a link that
// leaves the buffer.
TEST(QuvAdapterList, WalksOnlyInsideTheBuffer)
{
    std::vector<IP_ADAPTER_INFO> records(2);
    records[0] = {};
    records[1] = {};
    records[0].AddressLength = 6;
    records[0].Address[0] = 0xAB;
    records[0].Next = &records[1];
    records[1].AddressLength = 2;
    records[1].Address[1] = 0x0F;
    const auto* buffer = reinterpret_cast<const BYTE*>(records.data());
    const size_t size = records.size() * sizeof(IP_ADAPTER_INFO);

    QuvAdapterAddresses addresses;
    ASSERT_EQ(S_OK, QuvWalkAdapterBuffer(buffer, size, addresses));
    EXPECT_EQ(L"AB0000000000|000F", QuvFormatAdapterList(addresses));

    records[1].AddressLength = 9;
    EXPECT_EQ(QUV_E_ADAPTER_ADDRESS_LENGTH, QuvWalkAdapterBuffer(buffer, size, addresses));
    records[1].AddressLength = 0;
    EXPECT_EQ(QUV_E_ADAPTER_ADDRESS_LENGTH, QuvWalkAdapterBuffer(buffer, size, addresses));
    records[1].AddressLength = 6;

    IP_ADAPTER_INFO outside = {};
    records[0].Next = &outside;
    EXPECT_EQ(QUV_E_ADAPTER_BAD_LINK, QuvWalkAdapterBuffer(buffer, size, addresses));
    records[0].Next = &records[0]; // a loop
    EXPECT_EQ(QUV_E_ADAPTER_BAD_LINK, QuvWalkAdapterBuffer(buffer, size, addresses));
}

// The real adapters of this machine: hexadecimal tokens joined by bars, or nothing.
TEST(QuvAdapterList, ReadsTheMachinesAdapters)
{
    std::wstring text;
    ASSERT_EQ(S_OK, QuvGetAdapterList(text));
    for (wchar_t c : text)
        EXPECT_TRUE(c == L'|' || (std::iswxdigit(c) && !std::iswlower(c))) << static_cast<int>(c);

    QuvAdapterSource source;
    std::wstring value;
    ASSERT_EQ(S_OK, source.GetValue(value));
    EXPECT_EQ(text.empty() ? L"N/A" : text, value);
}

TEST(QuvAdapterSource, UnreadableOrEmptyListIsNotAvailable)
{
    const struct {
        HRESULT listResult;
        const wchar_t* list;
        HRESULT result;
        const wchar_t* value;
    } cases[] = {
        {S_OK, L"AA", S_OK, L"AA"},
        {S_OK, L"", S_OK, L"N/A"},
        {E_FAIL, L"AA", S_OK, L"N/A"},
        {E_OUTOFMEMORY, L"", E_OUTOFMEMORY, L""},
    };
    for (const auto& c : cases) {
        QuvAdapterSource source([&](std::wstring& out) {
            out = c.list;
            return c.listResult;
        });
        std::wstring value;
        EXPECT_EQ(c.result, source.GetValue(value));
        if (SUCCEEDED(c.result)) {
            EXPECT_EQ(c.value, value);
        }
    }
}

TEST(QuvAdapterSource, ComparesStampWithCurrentAdapters)
{
    const struct {
        const char* name;
        const wchar_t* current;
        const wchar_t* stored;
        HRESULT result;
        const wchar_t* merged; // null: none
    } cases[] = {
        {"same machine", L"001122334455", L"001122334455", 0, nullptr},
        {"letter case ignored", L"aabbccddeeff", L"AABBCCDDEEFF", 0, nullptr},
        {"no adapters now", L" N/A\t", L"001122334455", 0, nullptr},
        {"none at first run", L"001122334455", L"N/A", 0, L"001122334455"},
        {"one more card", L"001122334455|00AA00AA00AA", L"001122334455", 0, L"001122334455|00AA00AA00AA"},
        {"one card gone", L"001122334455", L"001122334455|00AA00AA00AA", 0, nullptr},
        {"all replaced", L"00AA00AA00AA|00BB00BB00BB", L"001122334455|00CCCCCCCCCC", 1, nullptr},
        {"host-only both sides", L"005056C00008", L"005056C00001", 0, L"005056C00001|005056C00008"},
        {"host-only now, physical stored", L"005056C00001", L"001122334455", 0, L"001122334455|005056C00001"},
        {"host-only kept, physical replaced", L"005056C00001|00AA00AA00AA", L"005056C00001|001122334455", 1, nullptr},
        {"just above host-only range", L"005056C00100", L"001122334455", 1, nullptr},
        {"names that are not numbers", L"NIC-B", L"NIC-A", 1, nullptr},
        {"walk stops at empty token", L"001122334455||00AA00AA00AA", L"001122334455", 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QuvAdapterSource source;
        std::wstring merged;
        bool hasMerged = false;
        EXPECT_EQ(c.result, source.Compare(c.current, c.stored, merged, hasMerged));
        EXPECT_EQ(c.merged != nullptr, hasMerged);
        if (c.merged) {
            EXPECT_EQ(c.merged, merged);
        }
    }
}
