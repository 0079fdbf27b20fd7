#pragma once
// The launcher's registry names: its key, under HKLM or HKCU as the manifest says, holds a key of
// each manifest, named by the manifest's id, and that key the values below.

namespace vek {

inline constexpr wchar_t kVekRegistryKey[] = L"Software\\Vallor\\Vek";
// Download failures, counted in the launcher's key, the manifest's key and each job's key.
inline constexpr wchar_t kFailureCountValue[] = L"FailureCount";
// Set outside the launcher when the user accepted the download; read only.
inline constexpr wchar_t kDownloadAcceptedValue[] = L"DownloadAccepted";

} // namespace vek
