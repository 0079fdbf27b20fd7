#pragma once
// The upgrade codes under which Windows Installer knows the endpoint product: one for the package
// of 32-bit systems, one for that of 64-bit systems (CMsiUtils::SelectForBitness chooses). Every
// part of the launcher that asks whether the endpoint product is installed uses these two.
namespace vek {

inline constexpr const wchar_t* kEndpointUpgradeCode32 = L"{24BF7A02-B60A-494B-843A-793BBC77DED4}";
inline constexpr const wchar_t* kEndpointUpgradeCode64 = L"{F7BE9C8A-C2E6-470D-B703-0A1845E6FF8C}";

} // namespace vek
