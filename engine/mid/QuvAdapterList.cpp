#include "engine/mid/QuvAdapterList.h"

#include "engine/mid/QuvMidCodes.h"

#include <iphlpapi.h>

#include <limits>

namespace {

constexpr size_t kRecordSize = sizeof(IP_ADAPTER_INFO);
// Room for 16 records at the first call.
constexpr size_t kInitialRecords = 16;

} // namespace

HRESULT QuvWalkAdapterBuffer(const BYTE* buffer, size_t size, QuvAdapterAddresses& addresses)
{
    addresses.clear();
    if (!buffer || size < kRecordSize)
        return S_OK;
    const BYTE* const end = buffer + size;
    auto* record = reinterpret_cast<const IP_ADAPTER_INFO*>(buffer);
    // Each record may be visited once at most: a link back into the list cannot loop forever.
    size_t visited = 0;
    const size_t maxRecords = size / kRecordSize;
    while (record) {
        if (++visited > maxRecords)
            return QUV_E_ADAPTER_BAD_LINK;
        if (record->AddressLength < 1 || record->AddressLength > 8)
            return QUV_E_ADAPTER_ADDRESS_LENGTH;
        addresses.emplace_back(record->Address, record->Address + record->AddressLength);
        const auto* next = reinterpret_cast<const BYTE*>(record->Next);
        if (!next)
            break;
        if (next < buffer || next > end - kRecordSize)
            return QUV_E_ADAPTER_BAD_LINK;
        record = reinterpret_cast<const IP_ADAPTER_INFO*>(next);
    }
    return S_OK;
}

std::wstring QuvFormatAdapterList(const QuvAdapterAddresses& addresses)
{
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text;
    for (const auto& address : addresses) {
        if (!text.empty())
            text += L'|';
        for (BYTE b : address) {
            text += kDigits[b >> 4];
            text += kDigits[b & 0xF];
        }
    }
    return text;
}

HRESULT QuvGetAdapterList(std::wstring& text)
{
    text.clear();
    std::vector<BYTE> buffer(kInitialRecords * kRecordSize, 0);
    ULONG size = static_cast<ULONG>(buffer.size());
    DWORD error = ::GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()), &size);
    if (error == ERROR_BUFFER_OVERFLOW && size > buffer.size()) {
        if (size > std::numeric_limits<ULONG>::max() - kRecordSize)
            return QUV_E_ADAPTER_SIZE_OVERFLOW;
        // One record more than asked for, in case an adapter arrived between the two calls.
        size += static_cast<ULONG>(kRecordSize);
        buffer.assign(size, 0);
        error = ::GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()), &size);
    }
    if (error == ERROR_NO_DATA)
        return S_OK;
    if (error != ERROR_SUCCESS)
        return QuvHResultFromWin32(error);

    QuvAdapterAddresses addresses;
    HRESULT hr = QuvWalkAdapterBuffer(buffer.data(), buffer.size(), addresses);
    if (FAILED(hr))
        return hr;
    text = QuvFormatAdapterList(addresses);
    return S_OK;
}
