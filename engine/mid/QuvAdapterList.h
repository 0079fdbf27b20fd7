#pragma once
// The machine's network adapters as a "|"-separated text of hardware addresses: each address in
// upper-case hexadecimal, two digits per byte, in the order GetAdaptersInfo returns them. No
// adapters give an empty text.
#include <windows.h>

#include <string>
#include <vector>

using QuvAdapterAddresses = std::vector<std::vector<BYTE>>;

HRESULT QuvGetAdapterList(std::wstring& text);

// The addresses of the IP_ADAPTER_INFO records in a buffer that GetAdaptersInfo filled. Each
// address must be 1..8 bytes and each link must point inside the buffer.
HRESULT QuvWalkAdapterBuffer(const BYTE* buffer, size_t size, QuvAdapterAddresses& addresses);

std::wstring QuvFormatAdapterList(const QuvAdapterAddresses& addresses);
